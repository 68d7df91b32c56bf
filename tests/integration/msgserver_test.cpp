#include <array>
#include <ostream>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/date_time.h"
#include "integration/msgserver_process.h"
#include "platform/posix_tcp_connection.h"
#include "wire/frames.h"
#include "wire/message_types.h"
#include "wire/event_record.h"

namespace drv {
namespace {

using Status = TcpConnection::ReadStatus;

// Long enough for a loopback reply to arrive; a missing reply costs this much once.
constexpr int kReplyWaitMs = 300;

std::string HexOf(std::span<const uint8_t> bytes) {
  std::string out;
  for (const uint8_t b : bytes) {
    char two[3];
    std::snprintf(two, sizeof two, "%02X", b);
    out += two;
  }
  return out;
}

TEventRecord SampleEvent() {
  TEventRecord r;
  r.ObjectNumber = 322345;
  r.EventCodeLength = 2;
  r.EventCode = {'A', '8', 0, 0};
  r.Pos4Value = 1;
  r.Pos56Value = 23;
  r.TimeStamp = MakeDateTime({2026, 12, 5, 14, 3, 7, 250});
  return r;
}

std::vector<uint8_t> SampleLinkState() {
  std::vector<uint8_t> p(11, 0);
  p[0] = 0x1F;
  p[1] = 31;
  PutDouble(&p[2], MakeDateTime({2026, 1, 2, 3, 4, 5, 6}));
  p[10] = 1;
  return p;
}

// What the client saw after one frame: the reply's type name, or how the reply went wrong.
// "none": nothing within the wait; "closed": the server closed; "badmark": a frame with a
// foreign mark; "huge:<n>": a header announcing n bytes; "cut:<n>": a body that stopped at n.
std::string Exchange(PosixTcpConnection& client, uint32_t type, std::span<const uint8_t> payload,
                     int64_t sequence = 1) {
  if (!client.WriteAll(BuildFrame(BuildMessage(type, payload, sequence)))) return "closed";
  std::array<uint8_t, kTransportHeaderSize> header{};
  const auto head = client.ReadExactly(header.data(), header.size(), kReplyWaitMs);
  if (head.status == Status::kClosed) return "closed";
  if (head.status == Status::kTimeout) return head.bytes == 0 ? "none" : "short header";
  const int32_t announced = static_cast<int32_t>(GetLe32(&header[5]));
  if (announced < 0 || announced > 1000) return "huge:" + std::to_string(announced);
  std::vector<uint8_t> body(static_cast<std::size_t>(announced));
  const auto read = client.ReadExactly(body.data(), body.size(), kReplyWaitMs);
  if (read.status != Status::kOk) return "cut:" + std::to_string(read.bytes);
  if (!TransportMessageLength(header)) return "badmark";
  const auto message = ValidateMessage(body);
  if (!message) return "invalid";
  const char* name = MessageTypeName(message->type);
  return name != nullptr ? name : "unknown";
}

class MsgServerTest : public ::testing::Test {
 protected:
  void StartServer(const std::vector<std::string>& args = {}) {
    ASSERT_TRUE(server_.Start(args)) << "could not start " << test::MsgServerPath();
    ASSERT_TRUE(client_.Connect("127.0.0.1", server_.port(), 2500));
  }

  test::MsgServerProcess server_;
  PosixTcpConnection client_;
};

struct ReplyCase {
  const char* name;
  uint32_t type;
  std::vector<uint8_t> payload;
  const char* reply;
  const char* line;  // the printed line up to the payload
};
void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }

class MsgServerReplyTest : public MsgServerTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(MsgServerReplyTest, AnswersAndPrintsEachMessage) {
  const ReplyCase& c = GetParam();
  StartServer();
  EXPECT_EQ(Exchange(client_, c.type, c.payload, 42), c.reply);
  EXPECT_EQ(server_.ReadLine(), std::string(c.line) + " payload=" + HexOf(c.payload));
}

INSTANTIATE_TEST_SUITE_P(
    Types, MsgServerReplyTest,
    ::testing::Values(
        ReplyCase{"Hello", mtHello, {0x40, 0x00}, "mtAccepted", "mtHello seq=42"},
        ReplyCase{"KeepAlive", mtKeepAlive, {}, "mtKeepAlive", "mtKeepAlive seq=42"},
        ReplyCase{"StoredEvent", mtStoredEvent,
                  [] {
                    const auto b = SampleEvent().Bytes();
                    return std::vector<uint8_t>(b.begin(), b.end());
                  }(),
                  "mtStoredEventAck",
                  "mtStoredEvent seq=42 object=322345 code=A8 pos4=1 pos56=23 time=05.12.2026 14:03:07.250"},
        ReplyCase{"LinkState", mtLinkState, SampleLinkState(), "mtLinkStateAck",
                  "mtLinkState seq=42 first=31 state=lost time=02.01.2026 03:04:05.006"},
        ReplyCase{"PortState", mtPortState, {5, 'C', 'O', 'M', '1', '2', 0, 1}, "mtKeepAlive",
                  "mtPortState seq=42 port=COM12 open=1"},
        ReplyCase{"PortStateChanged", mtPortStateChanged, {6, 'C', 'O', 'M', '2', '5', '5', 0}, "mtKeepAlive",
                  "mtPortStateChanged seq=42 port=COM255 open=0"},
        ReplyCase{"Version", mtVersion, {8, 0, 15, 0, 3, 0, 15, 0}, "mtKeepAlive",
                  "mtVersion seq=42 version=8.15.3.15"},
        ReplyCase{"UnknownType", 0x12345678, {9}, "mtKeepAlive", "0x12345678 seq=42"},
        // Fields come off the wire: a record too short to decode, or a time stamp that is no date.
        ReplyCase{"ShortEvent", mtEvent, {1, 2, 3, 4, 5}, "mtKeepAlive", "mtEvent seq=42"},
        ReplyCase{"EventWithGarbageTime", mtEvent,
                  [] {
                    auto b = SampleEvent().Bytes();
                    PutLe64(&b[11], 0x7FF8000000000001ull);  // a NaN
                    b[5] = 0xC0;                             // a code outside ASCII
                    return std::vector<uint8_t>(b.begin(), b.end());
                  }(),
                  "mtKeepAlive", "mtEvent seq=42 object=322345 code=\\xC08 pos4=1 pos56=23 time=?"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MsgServerTest, EventLineCarriesTheRecordBytes) {
  StartServer();
  const auto bytes = SampleEvent().Bytes();
  EXPECT_EQ(Exchange(client_, mtEvent, bytes, 7), "mtKeepAlive");
  const auto line = server_.ReadLine();
  ASSERT_TRUE(line);
  EXPECT_EQ(*line, "mtEvent seq=7 object=322345 code=A8 pos4=1 pos56=23 time=05.12.2026 14:03:07.250 payload=" +
                       HexOf(bytes));
}

enum Send { kHello, kKeepAlive, kStored, kLinkState };

struct MisbehaviourCase {
  const char* name;
  std::vector<std::string> args;
  std::vector<Send> frames;
  std::vector<std::string> seen;  // one observation per frame
  bool exits = false;
};
void PrintTo(const MisbehaviourCase& c, std::ostream* os) { *os << c.name; }

class MsgServerMisbehaviourTest : public MsgServerTest, public ::testing::WithParamInterface<MisbehaviourCase> {};

TEST_P(MsgServerMisbehaviourTest, DoesWhatTheOptionsSay) {
  const MisbehaviourCase& c = GetParam();
  StartServer(c.args);
  const auto event = SampleEvent().Bytes();
  const auto link = SampleLinkState();
  const std::vector<uint8_t> hello{0x40, 0x00};
  std::vector<std::string> seen;
  for (const Send s : c.frames) {
    switch (s) {
      case kHello: seen.push_back(Exchange(client_, mtHello, hello)); break;
      case kKeepAlive: seen.push_back(Exchange(client_, mtKeepAlive, {})); break;
      case kStored: seen.push_back(Exchange(client_, mtStoredEvent, event)); break;
      case kLinkState: seen.push_back(Exchange(client_, mtLinkState, link)); break;
    }
  }
  EXPECT_EQ(seen, c.seen);
  if (c.exits) {
    EXPECT_EQ(server_.WaitExit(), 0);
  }
}

const std::string KA = "mtKeepAlive";

INSTANTIATE_TEST_SUITE_P(
    Options, MsgServerMisbehaviourTest,
    ::testing::Values(
        MisbehaviourCase{"Silent", {"--silent"}, {kHello, kKeepAlive}, {"none", "none"}},
        MisbehaviourCase{"SilentAfter", {"--silent-after", "2"}, {kHello, kKeepAlive, kKeepAlive},
                         {"mtAccepted", KA, "none"}},
        MisbehaviourCase{"PollEvery", {"--poll-every", "2"}, {kKeepAlive, kKeepAlive, kKeepAlive, kKeepAlive},
                         {KA, "mtPoll", KA, "mtPoll"}},
        MisbehaviourCase{"Disconnect", {"--command", "disconnect", "--after", "2"}, {kKeepAlive, kKeepAlive, kKeepAlive},
                         {KA, "mtDisconnect", KA}},
        MisbehaviourCase{"DropLinkFirstByDefault", {"--command=droplink"}, {kHello, kHello}, {"mtDropLink", "mtAccepted"}},
        MisbehaviourCase{"AccessDenied", {"--command", "accessdenied", "--after", "1"}, {kHello}, {"mtAccessDenied"}},
        MisbehaviourCase{"BadMark", {"--bad-mark-after", "2"}, {kKeepAlive, kKeepAlive, kKeepAlive},
                         {KA, "badmark", KA}},
        MisbehaviourCase{"HugeLength", {"--huge-length-after", "1"}, {kKeepAlive}, {"huge:2147483632"}},
        MisbehaviourCase{"CutBody", {"--cut-body-after", "1"}, {kKeepAlive, kKeepAlive}, {"cut:10", "none"}},
        MisbehaviourCase{"NoAck", {"--no-ack"}, {kStored, kLinkState, kHello}, {KA, KA, "mtAccepted"}},
        MisbehaviourCase{"CloseAfter", {"--close-after", "2"}, {kKeepAlive, kKeepAlive, kKeepAlive}, {KA, KA, "closed"}},
        MisbehaviourCase{"ExitAfter", {"--exit-after", "2"}, {kKeepAlive, kKeepAlive, kKeepAlive}, {KA, KA, "closed"},
                         true},
        MisbehaviourCase{"Combined", {"--poll-every", "2", "--silent-after", "3", "--no-ack"},
                         {kStored, kStored, kStored, kStored}, {KA, "mtPoll", KA, "none"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MsgServerTest, NewConnectionReplacesTheOldAndCountsAfresh) {
  StartServer({"--silent-after", "1"});
  EXPECT_EQ(Exchange(client_, mtKeepAlive, {}), KA);
  EXPECT_EQ(Exchange(client_, mtKeepAlive, {}), "none");

  PosixTcpConnection second;
  ASSERT_TRUE(second.Connect("127.0.0.1", server_.port(), 2500));
  EXPECT_EQ(Exchange(second, mtKeepAlive, {}), KA);
  std::array<uint8_t, 1> byte{};
  EXPECT_EQ(client_.ReadExactly(byte.data(), byte.size(), 2000).status, Status::kClosed);
}

struct TimingCase {
  const char* name;
  std::vector<std::string> args;
  std::vector<std::string> lines;  // "turn us=N" stands for any count of microseconds
};
void PrintTo(const TimingCase& c, std::ostream* os) { *os << c.name; }

class MsgServerTimingTest : public MsgServerTest, public ::testing::WithParamInterface<TimingCase> {};

// A turn is timed only from a reply written: never before the first frame, nor after a frame
// left unanswered, where the gap would be the client's own wait for a reply.
TEST_P(MsgServerTimingTest, PrintsTheTurnBeforeAFrameThatFollowsAReply) {
  StartServer(GetParam().args);
  EXPECT_EQ(Exchange(client_, mtHello, std::vector<uint8_t>{0x40, 0x00}), "mtAccepted");
  EXPECT_EQ(Exchange(client_, mtKeepAlive, {}), KA);
  EXPECT_EQ(Exchange(client_, mtKeepAlive, {}), "none");
  EXPECT_EQ(Exchange(client_, mtKeepAlive, {}), "none");
  std::vector<std::string> lines;
  while (const auto line = server_.ReadLine(kReplyWaitMs)) {
    const bool turn = line->rfind("turn us=", 0) == 0;
    if (turn) {
      const std::string digits = line->substr(8);
      EXPECT_FALSE(digits.empty());
      EXPECT_EQ(digits.find_first_not_of("0123456789"), std::string::npos) << *line;
    }
    lines.push_back(turn ? "turn us=N" : *line);
  }
  EXPECT_EQ(lines, GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(
    Options, MsgServerTimingTest,
    ::testing::Values(
        TimingCase{"Off", {"--silent-after", "2"},
                   {"mtHello seq=1 payload=4000", "mtKeepAlive seq=1 payload=", "mtKeepAlive seq=1 payload=",
                    "unanswered", "mtKeepAlive seq=1 payload=", "unanswered"}},
        TimingCase{"On", {"--timing", "--silent-after", "2"},
                   {"mtHello seq=1 payload=4000", "turn us=N", "mtKeepAlive seq=1 payload=", "turn us=N",
                    "mtKeepAlive seq=1 payload=", "unanswered", "mtKeepAlive seq=1 payload=", "unanswered"}}),
    [](const auto& info) { return std::string(info.param.name); });

struct GarbageCase {
  const char* name;
  std::vector<uint8_t> bytes;
};
void PrintTo(const GarbageCase& c, std::ostream* os) { *os << c.name; }

class MsgServerGarbageTest : public MsgServerTest, public ::testing::WithParamInterface<GarbageCase> {};

TEST_P(MsgServerGarbageTest, DropsTheConnectionAndKeepsServing) {
  StartServer();
  ASSERT_TRUE(client_.WriteAll(GetParam().bytes));
  std::array<uint8_t, 1> byte{};
  EXPECT_EQ(client_.ReadExactly(byte.data(), byte.size(), 2000).status, Status::kClosed);

  PosixTcpConnection next;
  ASSERT_TRUE(next.Connect("127.0.0.1", server_.port(), 2500));
  EXPECT_EQ(Exchange(next, mtHello, std::vector<uint8_t>{0x40, 0x00}), "mtAccepted");
}

std::vector<uint8_t> HeaderAnnouncing(uint32_t length) {
  std::vector<uint8_t> header(kTransportHeaderSize, 0);
  header[0] = kFrameMark;
  PutLe32(&header[5], length);
  return header;
}

INSTANTIATE_TEST_SUITE_P(Bytes, MsgServerGarbageTest,
                         ::testing::Values(GarbageCase{"BadMark", std::vector<uint8_t>(40, 0x00)},
                                           GarbageCase{"HugeLength", HeaderAnnouncing(0x7FFFFFF0)},
                                           GarbageCase{"NegativeLength", HeaderAnnouncing(0xFFFFFFFF)}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MsgServerTest, InvalidMessageIsPrintedAndStillAnswered) {
  StartServer();
  const std::vector<uint8_t> message{0x01, 0x02, 0x03};
  ASSERT_TRUE(client_.WriteAll(BuildFrame(message)));
  std::array<uint8_t, kTransportHeaderSize + kMessageHeaderSize> reply{};
  EXPECT_EQ(client_.ReadExactly(reply.data(), reply.size(), 2000).status, Status::kOk);
  EXPECT_EQ(server_.ReadLine(), "invalid length=3 bytes=010203");
}

TEST_F(MsgServerTest, TerminateSignalEndsItCleanly) {
  StartServer();
  EXPECT_EQ(server_.Stop(), 0);
}

TEST(MsgServerOptionsTest, RejectsUnknownOptions) {
  test::MsgServerProcess server;
  EXPECT_FALSE(server.Start({"--frobnicate"}));
  EXPECT_EQ(server.WaitExit(), 2);
}

}  // namespace
}  // namespace drv

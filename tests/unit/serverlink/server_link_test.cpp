#include "serverlink/server_link.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/date_time.h"
#include "wire/frames.h"
#include "wire/greeting.h"
#include "wire/message_types.h"
#include "wire/event_record.h"
#include "support/fake_clock.h"
#include "support/scripted_connection.h"

namespace drv {
namespace {

using Bytes = std::vector<uint8_t>;
using test::ScriptedConnection;
using test::ScriptedServer;

constexpr char kConnecting[] = "Соединение...";
constexpr char kConnected[] = "Соединение установлено.";
constexpr char kTooManyErrors[] = "Ошибки по сети - переподсоединение.";
constexpr char kServerDisconnect[] = "Сервер дал команду на рассоединение.";
constexpr char kAccessDenied[] = "Доступ запрещен.";

// Keeps the texts of the log lines, checks each line's date-time prefix, and notes every
// line in the server's journal so its order against the writes can be checked.
class RecordingObserver final : public LinkObserver {
 public:
  RecordingObserver(const Clock& clock, ScriptedServer& server) : clock_(clock), server_(server) {}
  void LogLine(const std::string& line) override {
    const std::string prefix = FormatDateAndTime(clock_.Now()) + " ";
    EXPECT_EQ(line.rfind(prefix, 0), 0u) << line;
    texts.push_back(line.substr(std::min(prefix.size(), line.size())));
    server_.Note("log:" + texts.back());
  }
  void TickServerIndicator() override { ++ticks; }

  std::vector<std::string> texts;
  int ticks = 0;

 private:
  const Clock& clock_;
  ScriptedServer& server_;
};

class RecordingSink final : public SpoolAckSink {
 public:
  void SpoolAcknowledged() override { ++acks; }
  void ReleaseReplayWait() override { ++releases; }
  int acks = 0;
  int releases = 0;
};

Bytes PayloadOf(const Bytes& frame) { return Bytes(frame.begin() + kTransportHeaderSize + kMessageHeaderSize, frame.end()); }
int64_t SequenceOf(const Bytes& frame) { return static_cast<int64_t>(GetLe64(&frame[kTransportHeaderSize + 9])); }

Bytes FrameWithLength(uint8_t mark, int32_t length) {
  Bytes header(kTransportHeaderSize, 0);
  header[0] = mark;
  PutLe32(&header[5], static_cast<uint32_t>(length));
  return header;
}

class ServerLinkTest : public ::testing::Test {
 protected:
  void Connect() {
    link.Step();
    ASSERT_TRUE(link.ServerConnected());
  }
  // Connects and lets the four greeting messages go out, each answered.
  void ConnectAndGreet(bool accept) {
    Connect();
    for (int i = 0; i < 4; ++i) {
      server.Reply(accept && i == 0 ? mtAccepted : mtKeepAlive);
      link.Step();
    }
    ASSERT_EQ(link.Queue().Count(), 0);
    ASSERT_EQ(link.ErrorCount(), 0);
    server.ClearRecords();
    observer.texts.clear();
  }
  void Enqueue(uint32_t type = mtEvent) { link.EnqueueMessage(type, event_payload); }
  int CountLogs(const std::string& text) const {
    return static_cast<int>(std::count(observer.texts.begin(), observer.texts.end(), text));
  }

  test::FakeClock clock;
  ScriptedServer server;
  RecordingObserver observer{clock, server};
  RecordingSink spool;
  ServerHostSettings host{"server.example", 4321};
  int host_reads = 0;
  bool port_open = true;
  std::array<uint8_t, TEventRecord::kSize> event_payload{};
  ServerLink link{ServerLinkConfig{
      .clock = clock,
      .make_connection = [this] { return std::make_unique<ScriptedConnection>(server); },
      .read_server_host =
          [this] {
            ++host_reads;
            return host;
          },
      .com_port = "COM12",
      .first_number = 300,
      .port_open = [this] { return port_open; },
      .observer = observer,
      .spool = spool,
      .version_text = "8.15.3.15",
  }};
};

TEST_F(ServerLinkTest, GreetingFollowsMessagesLeftFromBefore) {
  Enqueue();  // queued while the link is still down
  Connect();
  EXPECT_EQ(server.LastHost(), "server.example");
  EXPECT_EQ(server.LastPort(), 4321);
  EXPECT_EQ(server.LastConnectTimeout(), 2500);
  EXPECT_EQ(spool.releases, 1);
  EXPECT_EQ(observer.texts, (std::vector<std::string>{kConnecting, kConnected}));

  for (int i = 0; i < 5; ++i) {
    server.Reply(mtKeepAlive);
    link.Step();
  }
  EXPECT_EQ(server.WrittenTypes(), (std::vector<uint32_t>{mtEvent, mtHello, mtPortState, mtFirstNumber, mtVersion}));
  const auto writes = server.Writes();
  EXPECT_EQ(SequenceOf(writes[0]), 0);
  EXPECT_EQ(SequenceOf(writes[1]), 1);
  EXPECT_EQ(PayloadOf(writes[1]), (Bytes{0x40, 0x00}));
  EXPECT_EQ(PayloadOf(writes[2]), (Bytes{0x05, 'C', 'O', 'M', '1', '2', 0x00, 0x01}));
  EXPECT_EQ(PayloadOf(writes[3]), (Bytes{0x2C}));
  EXPECT_EQ(PayloadOf(writes[4]), (Bytes{0x08, 0x00, 0x0F, 0x00, 0x03, 0x00, 0x0F, 0x00}));

  // Logged before anything was written; every write followed by one reply read.
  const auto journal = server.Journal();
  const auto logged = std::find(journal.begin(), journal.end(), std::string("log:") + kConnected);
  const auto first_write = std::find(journal.begin(), journal.end(), "write");
  EXPECT_LT(logged, first_write);
  const auto reads = server.Reads();
  ASSERT_EQ(reads.size(), 10u);  // header and body of each keep-alive reply
  for (std::size_t i = 0; i < reads.size(); i += 2) {
    EXPECT_EQ(reads[i].size, kTransportHeaderSize);
    EXPECT_EQ(reads[i].timeout_ms, 1000);
  }
  EXPECT_EQ(link.ErrorCount(), 0);
}

TEST_F(ServerLinkTest, FullQueueRefusesSoTheCallerCanSpool) {
  for (int i = 0; i < TSendQueue::kSlotCount; ++i) ASSERT_TRUE(link.EnqueueMessage(mtEvent, event_payload));
  EXPECT_FALSE(link.EnqueueMessage(mtEvent, event_payload));
  EXPECT_EQ(link.Queue().NextSequence(), TSendQueue::kSlotCount + 1);
}

TEST_F(ServerLinkTest, KeepAlivesOnlyAfterAcceptedAndMoreThan500MsApart) {
  ConnectAndGreet(false);
  clock.Advance(10000);
  for (int i = 0; i < 3; ++i) link.Step();
  EXPECT_TRUE(server.Writes().empty());

  Enqueue();
  server.Reply(mtAccepted);
  link.Step();
  EXPECT_TRUE(link.Accepted());

  server.ClearRecords();
  server.Reply(mtKeepAlive);
  link.Step();  // the last keep-alive tick is long past
  ASSERT_EQ(server.Writes().size(), 1u);
  EXPECT_EQ(server.Writes()[0], BuildFrame(BuildMessage(mtKeepAlive, {}, 0)));
  EXPECT_EQ(server.Reads().size(), 2u);

  clock.Advance(500);
  link.Step();
  EXPECT_EQ(server.Writes().size(), 1u);
  clock.Advance(1);
  server.Reply(mtKeepAlive);
  link.Step();
  EXPECT_EQ(server.WrittenTypes(), (std::vector<uint32_t>{mtKeepAlive, mtKeepAlive}));
  EXPECT_EQ(link.ErrorCount(), 0);
  EXPECT_EQ(link.Queue().NextSequence(), 5);  // greeting and one event; keep-alives take no number
}

TEST_F(ServerLinkTest, StepSendingAQueuedMessageSendsNoKeepAlive) {
  ConnectAndGreet(true);
  clock.Advance(1000);
  Enqueue();
  server.Reply(mtKeepAlive);
  link.Step();
  EXPECT_EQ(server.WrittenTypes(), (std::vector<uint32_t>{mtEvent}));
  server.Reply(mtKeepAlive);
  link.Step();
  EXPECT_EQ(server.WrittenTypes(), (std::vector<uint32_t>{mtEvent, mtKeepAlive}));
}

TEST_F(ServerLinkTest, PollIsAnsweredWithAnEmptyPollAnswer) {
  ConnectAndGreet(false);
  Enqueue();
  server.Reply(mtPoll);
  link.Step();
  ASSERT_EQ(link.Queue().Count(), 1);
  server.Reply(mtKeepAlive);
  link.Step();
  const auto writes = server.Writes();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(server.WrittenTypes()[1], mtPollAnswer);
  EXPECT_EQ(writes[1].size(), kTransportHeaderSize + kMessageHeaderSize);
}

TEST_F(ServerLinkTest, DisconnectCommandWaitsFullIntervalFromItsArrival) {
  ConnectAndGreet(false);
  clock.Advance(20000);
  Enqueue();
  server.Reply(mtDisconnect);
  const int ticks = observer.ticks;
  link.Step();
  EXPECT_FALSE(link.ServerConnected());
  EXPECT_EQ(observer.texts, (std::vector<std::string>{kServerDisconnect}));
  EXPECT_GT(observer.ticks, ticks);
  EXPECT_EQ(link.ErrorCount(), 0);

  clock.Advance(5000);
  link.Step();
  EXPECT_EQ(server.Connects(), 1);
  clock.Advance(1);
  link.Step();
  EXPECT_EQ(server.Connects(), 2);
  EXPECT_TRUE(link.ServerConnected());
}

TEST_F(ServerLinkTest, DropLinkWithLastAttemptLongPastReconnectsInTheNextStep) {
  ConnectAndGreet(false);
  clock.Advance(6000);
  Enqueue();
  server.Reply(mtDropLink);
  link.Step();
  EXPECT_FALSE(link.ServerConnected());
  EXPECT_EQ(server.Disconnects(), 1);
  link.Step();
  EXPECT_EQ(server.Connects(), 2);
  EXPECT_TRUE(link.ServerConnected());
}

TEST_F(ServerLinkTest, AccessDeniedEndsAttemptsAndLogsOnce) {
  ConnectAndGreet(false);
  Enqueue();
  server.Reply(mtAccessDenied);
  link.Step();
  EXPECT_FALSE(link.ServerConnected());
  EXPECT_FALSE(link.ReconnectAllowed());
  for (int i = 0; i < 5; ++i) {
    clock.Advance(6000);
    link.Step();
  }
  Enqueue();
  link.Step();
  EXPECT_EQ(CountLogs(kAccessDenied), 1);
  EXPECT_EQ(observer.texts.size(), 1u);
  EXPECT_EQ(server.Connects(), 1);
  EXPECT_EQ(link.Queue().Count(), 1);
}

TEST_F(ServerLinkTest, SilentServerTakesTheLinkDownAtTheTwentySecondConnectedStep) {
  Connect();
  observer.texts.clear();
  for (int step = 1; step <= 21; ++step) {
    link.Step();
    ASSERT_TRUE(link.ServerConnected()) << step;
    ASSERT_EQ(link.ErrorCount(), step);
  }
  EXPECT_TRUE(observer.texts.empty());
  EXPECT_EQ(server.WrittenTypes(), (std::vector<uint32_t>{mtHello, mtPortState, mtFirstNumber, mtVersion}));
  const auto reads = server.Reads();
  ASSERT_EQ(reads.size(), 4u);
  for (const auto& read : reads) EXPECT_EQ(read.timeout_ms, 1000);

  link.Step();
  EXPECT_EQ(observer.texts, (std::vector<std::string>{kTooManyErrors}));
  EXPECT_FALSE(link.ServerConnected());
}

TEST_F(ServerLinkTest, ValidReplyResetsTheErrorCount) {
  Connect();
  for (int i = 0; i < 10; ++i) link.Step();
  ASSERT_EQ(link.ErrorCount(), 10);
  Enqueue();
  server.Reply(mtKeepAlive);
  link.Step();
  EXPECT_EQ(link.ErrorCount(), 0);
}

TEST_F(ServerLinkTest, InvalidReplyNeitherCountsNorResets) {
  ConnectAndGreet(false);
  Enqueue();
  link.Step();  // no reply
  ASSERT_EQ(link.ErrorCount(), 1);
  Bytes bad = BuildMessage(mtAccepted, {}, 0);
  bad[17] = 0x00;
  Enqueue();
  server.Feed(BuildFrame(bad));
  link.Step();
  link.Step();
  EXPECT_EQ(link.ErrorCount(), 1);
  EXPECT_FALSE(link.Accepted());
}

TEST_F(ServerLinkTest, WriteFailureDropsTheLinkAtOnceAndKeepsTheMessage) {
  ConnectAndGreet(true);
  Enqueue();
  server.FailNextWrites(1);
  link.Step();
  EXPECT_FALSE(link.ServerConnected());
  EXPECT_EQ(link.Queue().Count(), 1);

  clock.Advance(5001);
  link.Step();
  ASSERT_TRUE(link.ServerConnected());
  EXPECT_FALSE(link.Accepted());
  for (int i = 0; i < 5; ++i) {
    server.Reply(mtKeepAlive);
    link.Step();
  }
  EXPECT_EQ(server.WrittenTypes(), (std::vector<uint32_t>{mtEvent, mtHello, mtPortState, mtFirstNumber, mtVersion}));
  EXPECT_EQ(SequenceOf(server.Writes()[0]), 4);  // the same message, not a new one
}

TEST_F(ServerLinkTest, MessageWrittenIntoAClosedConnectionGoesAgainAfterReconnect) {
  ConnectAndGreet(true);
  Enqueue();
  server.Close();  // the peer died: the write is taken, the reply read finds the end
  link.Step();
  EXPECT_EQ(link.Queue().Count(), 1);

  link.Step();  // the next write fails on the closed connection
  EXPECT_FALSE(link.ServerConnected());
  EXPECT_EQ(link.Queue().Count(), 1);

  clock.Advance(5001);
  link.Step();
  ASSERT_TRUE(link.ServerConnected());
  server.Reply(mtKeepAlive);
  link.Step();
  const auto types = server.WrittenTypes();
  ASSERT_EQ(types.size(), 2u);
  EXPECT_EQ(types[0], mtEvent);
  EXPECT_EQ(types[1], mtEvent);
  EXPECT_EQ(SequenceOf(server.Writes()[0]), SequenceOf(server.Writes()[1]));
}

TEST_F(ServerLinkTest, MessageWhoseReplyTimesOutIsNotSentAgain) {
  ConnectAndGreet(true);
  Enqueue();
  server.Stall();
  link.Step();
  EXPECT_EQ(link.Queue().Count(), 0);
  EXPECT_TRUE(link.ServerConnected());
}

TEST_F(ServerLinkTest, UnreachableServerIsTriedEveryFiveSeconds) {
  server.RefuseNextConnects(1000);
  std::vector<uint64_t> attempt_times;
  server.OnConnect([&] {
    EXPECT_TRUE(link.ServerConnected());  // up while the attempt runs
    attempt_times.push_back(clock.MonotonicMs());
  });
  const uint64_t start = clock.MonotonicMs();
  link.Step();
  EXPECT_FALSE(link.ServerConnected());
  host.Address = "other.example";
  for (int ms = 1; ms <= 16000; ++ms) {
    clock.Advance(1);
    link.Step();
    ASSERT_FALSE(link.ServerConnected());
  }
  EXPECT_EQ(attempt_times, (std::vector<uint64_t>{start, start + 5001, start + 10002, start + 15003}));
  EXPECT_EQ(observer.texts, std::vector<std::string>(4, kConnecting));
  EXPECT_EQ(host_reads, 4);
  EXPECT_EQ(server.LastHost(), "other.example");
  EXPECT_EQ(spool.releases, 0);
}

TEST_F(ServerLinkTest, IntervalsIgnoreWallClockAndTickJumps) {
  server.RefuseNextConnects(1000);
  link.Step();
  clock.SetWallTime(clock.Now() - 1.0);
  clock.SetTick(0xFFFFFFF0u);
  clock.Advance(5000);
  link.Step();
  EXPECT_EQ(server.Connects(), 1);
  clock.SetWallTime(clock.Now() + 2.0);
  clock.Advance(1);
  link.Step();
  EXPECT_EQ(server.Connects(), 2);
}

TEST_F(ServerLinkTest, AcknowledgementsReachTheSpool) {
  struct Row {
    uint32_t type;
    int acks;
  };
  const Row rows[] = {{mtStoredEventAck, 1}, {mtLinkStateAck, 1}, {mtEvent, 0}, {mtKeepAlive, 0}, {0x7777, 0}};
  ConnectAndGreet(false);
  for (const Row& row : rows) {
    spool.acks = 0;
    Enqueue(mtStoredEvent);
    server.Reply(row.type);
    link.Step();
    EXPECT_EQ(spool.acks, row.acks) << std::hex << row.type;
    EXPECT_EQ(link.ErrorCount(), 0);
  }
}

TEST_F(ServerLinkTest, ImpossibleLengthIsAFailedReadWithoutBodyRead) {
  const int32_t lengths[] = {-1, INT32_MIN, kMaxMessageLength + 1};
  ConnectAndGreet(false);
  for (const int32_t length : lengths) {
    server.ClearRecords();
    const int32_t before = link.ErrorCount();
    Enqueue();
    server.Feed(FrameWithLength(0xFF, length));
    link.Step();
    EXPECT_EQ(link.ErrorCount(), before + 2) << length;  // the failed read and the missing reply
    EXPECT_EQ(server.Reads().size(), 1u) << length;
  }
}

TEST_F(ServerLinkTest, AlternativeFrameMarkIsAccepted) {
  ConnectAndGreet(false);
  Bytes frame = BuildFrame(BuildMessage(mtAccepted, {}, 0));
  frame[0] = 0xF0;
  Enqueue();
  server.Feed(frame);
  link.Step();
  EXPECT_TRUE(link.Accepted());
  EXPECT_EQ(link.ErrorCount(), 0);
}

TEST_F(ServerLinkTest, WrongFrameMarkLeavesTheBodyUnread) {
  ConnectAndGreet(false);
  Bytes frame = BuildFrame(BuildMessage(mtAccepted, {}, 0));
  frame[0] = 0x00;
  Enqueue();
  server.Feed(frame);
  link.Step();
  EXPECT_FALSE(link.Accepted());
  EXPECT_EQ(link.ErrorCount(), 1);
  EXPECT_EQ(server.Reads().size(), 1u);
}

TEST_F(ServerLinkTest, LongReplyIsReadInPiecesOfAtMost50000) {
  ConnectAndGreet(false);
  const Bytes payload(120000 - kMessageHeaderSize, 0x5A);
  Enqueue();
  server.Reply(mtAccepted, payload);
  link.Step();
  const auto reads = server.Reads();
  ASSERT_EQ(reads.size(), 4u);
  EXPECT_EQ(reads[1].size, 50000u);
  EXPECT_EQ(reads[2].size, 50000u);
  EXPECT_EQ(reads[3].size, 20000u);
  EXPECT_TRUE(link.Accepted());
}

struct StallRow {
  const char* name;
  int stalls;  // time-outs in the middle of the body
  bool closes;
  bool accepted;
  std::size_t reads;
};

class StalledBodyTest : public ServerLinkTest, public ::testing::WithParamInterface<StallRow> {};

TEST_P(StalledBodyTest, IsRetriedAFewTimesThenFails) {
  const StallRow& row = GetParam();
  ConnectAndGreet(false);
  const Bytes frame = BuildFrame(BuildMessage(mtAccepted, Bytes(10, 1), 0));
  server.Feed(Bytes(frame.begin(), frame.begin() + 30));
  for (int i = 0; i < row.stalls; ++i) server.Stall();
  if (row.closes) server.Close();
  server.Feed(Bytes(frame.begin() + 30, frame.end()));
  Enqueue();
  link.Step();
  EXPECT_EQ(link.Accepted(), row.accepted);
  EXPECT_EQ(link.ErrorCount(), row.accepted ? 0 : 2);  // a failed read also leaves no reply
  EXPECT_EQ(server.Reads().size(), row.reads);
}

INSTANTIATE_TEST_SUITE_P(Rows, StalledBodyTest,
                         ::testing::Values(StallRow{"OneStallThenTheRest", 1, false, true, 3},
                                           StallRow{"AsManyStallsAsRetries", ServerLink::kMaxBodyRetries, false, true,
                                                    2 + ServerLink::kMaxBodyRetries},
                                           StallRow{"StallsForever", 100, false, false, 2 + ServerLink::kMaxBodyRetries},
                                           StallRow{"ClosedMidBody", 0, true, false, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace drv

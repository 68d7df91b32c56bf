#include "serverlink/server_link.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "base/date_time.h"
#include "wire/frames.h"
#include "wire/greeting.h"
#include "wire/message_types.h"
#include "wire/event_record.h"
#include "serverlink/link_spool.h"
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
  void TickServerIndicator(bool connected) override {
    ++ticks;
    tick_states.push_back(connected);
  }

  std::vector<std::string> texts;
  int ticks = 0;
  std::vector<bool> tick_states;

 private:
  const Clock& clock_;
  ScriptedServer& server_;
};

// The spool as the link sees it: what it was given, in order.
class RecordingSink final : public LinkSpool {
 public:
  struct Record {
    uint32_t type;
    std::vector<uint8_t> payload;
    bool operator==(const Record&) const = default;
  };
  void SpoolUndelivered(uint32_t type, std::span<const uint8_t> payload) override {
    undelivered.push_back({type, {payload.begin(), payload.end()}});
  }
  void SpoolAcknowledged(const std::string& path) override { acks.push_back(path); }
  void ReplayAnswered(const std::string& path) override { answered.push_back(path); }
  void ReplayInterrupted(const std::string& path) override { interrupted.push_back(path); }
  void ReleaseReplayWait() override { ++releases; }

  std::vector<Record> undelivered;
  std::vector<std::string> acks;
  std::vector<std::string> answered;
  std::vector<std::string> interrupted;
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

// Public: the rows of table tests script the server and step the link.
class ServerLinkTest : public ::testing::Test {
 public:
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
  void EnqueueMarked(uint32_t type, uint8_t marker) {
    std::vector<uint8_t> payload(event_payload.begin(), event_payload.end());
    payload[0] = marker;
    link.EnqueueMessage(type, payload);
  }
  void EnqueueReplayed(const std::string& path, uint32_t type = mtStoredEvent) {
    link.EnqueueReplayed(type, event_payload, path);
  }
  RecordingSink::Record Undelivered(uint32_t type, uint8_t marker) const {
    std::vector<uint8_t> payload(event_payload.begin(), event_payload.end());
    payload[0] = marker;
    return {type, payload};
  }
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

TEST_F(ServerLinkTest, GreetingGoesFirstOnEveryConnection) {
  Connect();
  EXPECT_EQ(server.LastHost(), "server.example");
  EXPECT_EQ(server.LastPort(), 4321);
  EXPECT_EQ(server.LastConnectTimeout(), 2500);
  EXPECT_EQ(spool.releases, 1);
  EXPECT_EQ(observer.texts, (std::vector<std::string>{kConnecting, kConnected}));

  for (int i = 0; i < 4; ++i) {
    server.Reply(mtKeepAlive);
    link.Step();
  }
  EXPECT_EQ(server.WrittenTypes(), (std::vector<uint32_t>{mtHello, mtPortState, mtFirstNumber, mtVersion}));
  const auto writes = server.Writes();
  EXPECT_EQ(SequenceOf(writes[0]), 0);
  EXPECT_EQ(PayloadOf(writes[0]), (Bytes{0x40, 0x00}));
  EXPECT_EQ(PayloadOf(writes[1]), (Bytes{0x05, 'C', 'O', 'M', '1', '2', 0x00, 0x01}));
  EXPECT_EQ(PayloadOf(writes[2]), (Bytes{0x2C}));
  EXPECT_EQ(PayloadOf(writes[3]), (Bytes{0x08, 0x00, 0x0F, 0x00, 0x03, 0x00, 0x0F, 0x00}));

  // Logged before anything was written; every write followed by one reply read.
  const auto journal = server.Journal();
  const auto logged = std::find(journal.begin(), journal.end(), std::string("log:") + kConnected);
  const auto first_write = std::find(journal.begin(), journal.end(), "write");
  EXPECT_LT(logged, first_write);
  const auto reads = server.Reads();
  ASSERT_EQ(reads.size(), 8u);  // header and body of each keep-alive reply
  for (std::size_t i = 0; i < reads.size(); i += 2) {
    EXPECT_EQ(reads[i].size, kTransportHeaderSize);
    EXPECT_EQ(reads[i].timeout_ms, 1000);
  }
  EXPECT_EQ(link.ErrorCount(), 0);
}

TEST_F(ServerLinkTest, RecordsQueuedWithoutAConnectionAreSpooledAndTheGreetingAlwaysFits) {
  // A full queue while no connection stands: everything goes to the spool before the
  // attempt, so the new connection still says hello.
  server.RefuseNextConnects(1);
  link.Step();
  ASSERT_FALSE(link.ServerConnected());
  for (int i = 0; i < TSendQueue::kSlotCount; ++i) EnqueueMarked(i % 2 ? mtEvent : mtLinkState, static_cast<uint8_t>(i));
  EXPECT_FALSE(link.EnqueueMessage(mtEvent, event_payload));
  link.EnqueueMessage(mtPortStateChanged, {});
  link.Step();  // not yet time for an attempt: the queue is spooled all the same
  EXPECT_EQ(server.Connects(), 1);
  EXPECT_TRUE(link.Queue().IsEmpty());
  ASSERT_EQ(spool.undelivered.size(), 100u);
  for (int i = 0; i < TSendQueue::kSlotCount; ++i) {
    EXPECT_EQ(spool.undelivered[i], Undelivered(i % 2 ? mtEvent : mtLinkState, static_cast<uint8_t>(i))) << i;
  }

  clock.Advance(5001);
  Connect();
  for (int i = 0; i < 4; ++i) {
    server.Reply(mtKeepAlive);
    link.Step();
  }
  EXPECT_EQ(server.WrittenTypes(), (std::vector<uint32_t>{mtHello, mtPortState, mtFirstNumber, mtVersion}));
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
  EXPECT_EQ(link.EventsDelivered(), 1u);  // the poll answered the event
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
  EXPECT_EQ(server.Disconnects(), 0);  // left open for the next attempt to close

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
  // Nothing waits in memory for a connection that will never come.
  EXPECT_TRUE(link.Queue().IsEmpty());
  EXPECT_EQ(spool.undelivered.size(), 2u);
}

// Every way a connection can end leaves its records with the spool: the one on the wire
// and those still queued, in order; replayed messages and the connection's own are not
// spooled (their files are still on disk, or they meant nothing beyond the connection).
struct EndingRow {
  const char* name;
  std::function<void(ServerLinkTest&)> end;
};

class ConnectionEnding : public ServerLinkTest, public ::testing::WithParamInterface<EndingRow> {};

TEST_P(ConnectionEnding, SpoolsEveryUndeliveredRecord) {
  const EndingRow& row = GetParam();
  ConnectAndGreet(true);
  EnqueueMarked(mtEvent, 1);
  EnqueueReplayed("spool/A.dd8");
  EnqueueMarked(mtLinkState, 2);
  EnqueueReplayed("spool/B.dd8", mtLinkState);
  link.EnqueueMessage(mtPollAnswer, {});
  EnqueueMarked(mtEvent, 3);
  row.end(*this);

  EXPECT_FALSE(link.ServerConnected());
  EXPECT_FALSE(link.ConnectionEstablished());
  EXPECT_TRUE(link.Queue().IsEmpty());
  EXPECT_EQ(spool.undelivered, (std::vector<RecordingSink::Record>{Undelivered(mtEvent, 1), Undelivered(mtLinkState, 2),
                                                                   Undelivered(mtEvent, 3)}));
  EXPECT_TRUE(spool.acks.empty());
  EXPECT_EQ(link.EventsDelivered(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Endings, ConnectionEnding,
    ::testing::Values(
        EndingRow{"ReplyTimesOut", [](ServerLinkTest& t) { t.link.Step(); }},
        EndingRow{"ReplyFindsTheConnectionClosed",
                  [](ServerLinkTest& t) {
                    t.server.Close();
                    t.link.Step();
                  }},
        EndingRow{"WriteFails",
                  [](ServerLinkTest& t) {
                    t.server.FailNextWrites(1);
                    t.link.Step();
                  }},
        EndingRow{"InvalidReply",
                  [](ServerLinkTest& t) {
                    Bytes bad = BuildMessage(mtKeepAlive, {}, 0);
                    bad[17] = 0;
                    t.server.Feed(BuildFrame(bad));
                    t.link.Step();
                  }},
        EndingRow{"EmptyReply",
                  [](ServerLinkTest& t) {
                    t.server.Feed(FrameWithLength(0xFF, 0));
                    t.link.Step();
                  }},
        EndingRow{"DropLink",
                  [](ServerLinkTest& t) {
                    t.server.Reply(mtDropLink);
                    t.link.Step();
                  }},
        EndingRow{"Disconnect",
                  [](ServerLinkTest& t) {
                    t.server.Reply(mtDisconnect);
                    t.link.Step();
                  }},
        EndingRow{"AccessDenied",
                  [](ServerLinkTest& t) {
                    t.server.Reply(mtAccessDenied);
                    t.link.Step();
                  }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ServerLinkTest, StopSpoolsTheWaitingRecordsButNotReplayedOnes) {
  // A replayed station-link record looks like a live one on the wire; its file is still on
  // disk, so spooling it again would deliver it twice after the restart.
  ConnectAndGreet(false);
  EnqueueMarked(mtLinkState, 1);
  EnqueueReplayed("spool/B.dd8", mtLinkState);
  EnqueueMarked(mtEvent, 2);
  link.RequestStop();
  link.SpoolWaiting();
  EXPECT_TRUE(link.Queue().IsEmpty());
  EXPECT_EQ(spool.undelivered,
            (std::vector<RecordingSink::Record>{Undelivered(mtLinkState, 1), Undelivered(mtEvent, 2)}));
}

TEST_F(ServerLinkTest, ReplyFailureEndsTheConnectionAtOnceWithItsLine) {
  ConnectAndGreet(true);
  Enqueue();
  server.Stall();
  link.Step();
  EXPECT_FALSE(link.ServerConnected());
  EXPECT_EQ(server.Disconnects(), 1);
  EXPECT_EQ(observer.texts, (std::vector<std::string>{kTooManyErrors}));
  // A late reply can never be taken for the next message's: that goes on a new connection.
  clock.Advance(5001);
  Connect();
  EXPECT_EQ(server.Connects(), 2);
}

TEST_F(ServerLinkTest, SilentIdleServerTakesTheLinkDownAtTheTwentySecondErrorCount) {
  ConnectAndGreet(true);
  clock.Advance(501);
  link.Step();  // the keep-alive's reply does not come
  ASSERT_EQ(link.ErrorCount(), 1);
  for (int step = 2; step <= 21; ++step) {
    link.Step();
    ASSERT_TRUE(link.ServerConnected()) << step;
    ASSERT_EQ(link.ErrorCount(), step);
  }
  EXPECT_TRUE(observer.texts.empty());
  EXPECT_EQ(server.WrittenTypes(), (std::vector<uint32_t>{mtKeepAlive}));
  link.Step();
  EXPECT_EQ(observer.texts, (std::vector<std::string>{kTooManyErrors}));
  EXPECT_FALSE(link.ServerConnected());
}

TEST_F(ServerLinkTest, RecordIsNotWrittenWhileAKeepAliveReplyIsOwed) {
  ConnectAndGreet(true);
  clock.Advance(501);
  link.Step();  // keep-alive unanswered: its reply may still come
  Enqueue();
  server.Reply(mtKeepAlive);  // the late keep-alive reply, which must not answer the event
  link.Step();
  EXPECT_EQ(server.WrittenTypes(), (std::vector<uint32_t>{mtKeepAlive}));
  EXPECT_FALSE(link.ServerConnected());
  EXPECT_EQ(spool.undelivered.size(), 1u);
  EXPECT_EQ(link.EventsDelivered(), 0u);
}

TEST_F(ServerLinkTest, ValidReplyResetsTheErrorCount) {
  ConnectAndGreet(true);
  clock.Advance(501);
  for (int i = 0; i < 10; ++i) link.Step();
  ASSERT_EQ(link.ErrorCount(), 10);
  clock.Advance(501);
  server.Reply(mtKeepAlive);
  link.Step();
  EXPECT_EQ(link.ErrorCount(), 0);
}

TEST_F(ServerLinkTest, InvalidReplyToAKeepAliveNeitherCountsNorResets) {
  ConnectAndGreet(true);
  clock.Advance(501);
  link.Step();  // no reply
  ASSERT_EQ(link.ErrorCount(), 1);
  Bytes bad = BuildMessage(mtAccepted, {}, 0);
  bad[17] = 0x00;
  clock.Advance(501);
  server.Feed(BuildFrame(bad));
  link.Step();
  link.Step();
  EXPECT_EQ(link.ErrorCount(), 1);
  EXPECT_TRUE(link.ServerConnected());
}

TEST_F(ServerLinkTest, AnswerDeliversAndTheNextGoesWithoutPause) {
  ConnectAndGreet(true);
  EnqueueMarked(mtEvent, 1);
  EnqueueMarked(mtEvent, 2);
  server.Reply(mtKeepAlive);
  EXPECT_TRUE(link.Step());  // did work: the loop goes straight on
  EXPECT_EQ(link.Queue().Count(), 1);
  server.Reply(mtKeepAlive);
  link.Step();
  EXPECT_TRUE(link.Queue().IsEmpty());
  EXPECT_EQ(link.EventsDelivered(), 2u);
  EXPECT_TRUE(spool.undelivered.empty());
  EXPECT_FALSE(link.Step());  // nothing to do
}

TEST_F(ServerLinkTest, UnreachableServerIsTriedEveryFiveSeconds) {
  server.RefuseNextConnects(1000);
  std::vector<uint64_t> attempt_times;
  server.OnConnect([&] {
    EXPECT_TRUE(link.ServerConnected());  // up while the attempt runs
    EXPECT_FALSE(link.ConnectionEstablished());
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
  EXPECT_EQ(link.ConnectionAttempts(), 4u);
  // Each attempt ticks once, before the flag is raised: the indicator never shows green.
  EXPECT_EQ(observer.tick_states, std::vector<bool>(4, false));
}

TEST_F(ServerLinkTest, IndicatorTicksCarryTheStateTheLinkSaw) {
  Connect();
  EXPECT_EQ(observer.tick_states, (std::vector<bool>{false, true}));
  server.Reply(mtDropLink);
  link.Step();
  // The reply's tick while still up, then the command's and the disconnect's after the fall.
  EXPECT_EQ(observer.tick_states, (std::vector<bool>{false, true, true, false, false}));
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

TEST_F(ServerLinkTest, AcknowledgementConfirmsOnlyTheFileItAnswers) {
  struct Row {
    uint32_t reply;
    bool ack;
  };
  const Row rows[] = {{mtStoredEventAck, true}, {mtLinkStateAck, true}, {mtEvent, false}, {mtKeepAlive, false},
                      {0x7777, false}};
  ConnectAndGreet(false);
  for (const Row& row : rows) {
    spool.acks.clear();
    spool.answered.clear();
    EnqueueReplayed("spool/F.dd8");
    server.Reply(row.reply);
    link.Step();
    EXPECT_EQ(spool.acks, row.ack ? std::vector<std::string>{"spool/F.dd8"} : std::vector<std::string>{})
        << std::hex << row.reply;
    EXPECT_EQ(spool.answered, row.ack ? std::vector<std::string>{} : std::vector<std::string>{"spool/F.dd8"});
    EXPECT_EQ(link.ErrorCount(), 0);
  }
  EXPECT_EQ(link.EventsDelivered(), 2u);  // stored events count once acknowledged

  // An acknowledgement answering a live record, or a keep-alive, confirms no file.
  spool.acks.clear();
  Enqueue(mtLinkState);
  EnqueueReplayed("spool/G.dd8");
  server.Reply(mtLinkStateAck);
  link.Step();
  EXPECT_TRUE(spool.acks.empty());
  server.Reply(mtLinkStateAck);
  link.Step();
  EXPECT_EQ(spool.acks, std::vector<std::string>{"spool/G.dd8"});
}

TEST_F(ServerLinkTest, ConnectionEndingOnAReplayedMessageIsCountedForItsFile) {
  ConnectAndGreet(false);
  EnqueueReplayed("spool/P.dd8");
  server.Reply(mtDropLink);
  link.Step();
  EXPECT_EQ(spool.interrupted, std::vector<std::string>{"spool/P.dd8"});
  EXPECT_TRUE(spool.undelivered.empty());  // its file is still on disk

  // A failed attempt with the file queued does not count.
  server.RefuseNextConnects(1);
  link.Step();
  EnqueueReplayed("spool/P.dd8");
  clock.Advance(5001);
  link.Step();
  EXPECT_EQ(spool.interrupted.size(), 1u);
}

TEST_F(ServerLinkTest, ImpossibleLengthEndsTheConnectionWithoutBodyRead) {
  const int32_t lengths[] = {-1, INT32_MIN, kMaxMessageLength + 1};
  for (const int32_t length : lengths) {
    clock.Advance(5001);
    ConnectAndGreet(false);
    Enqueue();
    server.Feed(FrameWithLength(0xFF, length));
    link.Step();
    EXPECT_FALSE(link.ServerConnected()) << length;
    EXPECT_EQ(server.Reads().size(), 1u) << length;
  }
  EXPECT_EQ(spool.undelivered.size(), 3u);
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

TEST_F(ServerLinkTest, WrongFrameMarkEndsTheConnectionWithTheBodyUnread) {
  ConnectAndGreet(false);
  Bytes frame = BuildFrame(BuildMessage(mtAccepted, {}, 0));
  frame[0] = 0x00;
  Enqueue();
  server.Feed(frame);
  link.Step();
  EXPECT_FALSE(link.Accepted());
  EXPECT_EQ(server.Reads().size(), 1u);
  EXPECT_FALSE(link.ServerConnected());
  EXPECT_EQ(spool.undelivered.size(), 1u);
}

TEST_F(ServerLinkTest, HeaderCutByATimeOutEndsTheConnection) {
  // Also for a keep-alive: the rest of the header would be read as the start of the next.
  ConnectAndGreet(true);
  const Bytes frame = BuildFrame(BuildMessage(mtKeepAlive, {}, 0));
  server.Feed(Bytes(frame.begin(), frame.begin() + 9));
  server.Delay(clock, 1500);
  server.Feed(Bytes(frame.begin() + 9, frame.end()));
  clock.Advance(501);
  link.Step();
  EXPECT_FALSE(link.ServerConnected());
  EXPECT_EQ(observer.texts, (std::vector<std::string>{kTooManyErrors}));
}

TEST_F(ServerLinkTest, DrippingReplyIsGivenUpAfterFiveSeconds) {
  ConnectAndGreet(true);
  Enqueue();
  const Bytes frame = BuildFrame(BuildMessage(mtKeepAlive, Bytes(40, 7), 0));
  for (uint8_t byte : frame) {
    server.Delay(clock, 500);
    server.Feed({byte});
  }
  const uint64_t start = clock.MonotonicMs();
  link.Step();
  EXPECT_LE(clock.MonotonicMs() - start, ServerLink::kReplyDeadlineMs);
  EXPECT_FALSE(link.ServerConnected());
  EXPECT_EQ(spool.undelivered.size(), 1u);
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

TEST_P(StalledBodyTest, IsRetriedAFewTimesThenEndsTheConnection) {
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
  EXPECT_EQ(link.ServerConnected(), row.accepted);
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

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "serverlink/link_spool.h"
#include "wire/frames.h"
#include "wire/message_types.h"
#include "wire/event_record.h"
#include "serverlink/server_link.h"
#include "support/fake_clock.h"
#include "support/scripted_connection.h"

namespace drv {
namespace {

using test::ScriptedConnection;
using test::ScriptedServer;

// Stands in for the host's hand-over to the main thread: while `hold` is set, an indicator
// tick blocks until the test lets it go, as it would while the main thread is busy.
class GatedObserver final : public LinkObserver {
 public:
  void LogLine(const std::string&) override {}
  void TickServerIndicator(bool) override {
    std::unique_lock lock(mutex_);
    if (!hold_) return;
    blocked_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return !hold_; });
  }
  void Hold() {
    std::lock_guard lock(mutex_);
    hold_ = true;
  }
  bool WaitBlocked(int timeout_ms) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return blocked_; });
  }
  void Release() {
    {
      std::lock_guard lock(mutex_);
      hold_ = false;
    }
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool hold_ = false;
  bool blocked_ = false;
};

// Counts what the link spooled; called on the link thread, read after it has stopped.
class CountingSink final : public LinkSpool {
 public:
  void SpoolUndelivered(uint32_t, std::span<const uint8_t> payload) override {
    std::lock_guard lock(mutex_);
    spooled.emplace_back(payload.begin(), payload.end());
  }
  void SpoolAcknowledged(const std::string&) override {}
  void ReplayAnswered(const std::string&) override {}
  void ReplayInterrupted(const std::string&) override {}
  void ReleaseReplayWait() override {}
  std::vector<std::vector<uint8_t>> Spooled() {
    std::lock_guard lock(mutex_);
    return spooled;
  }

 private:
  std::mutex mutex_;
  std::vector<std::vector<uint8_t>> spooled;
};

constexpr int kPatienceMs = 10000;  // only reached when the link is broken

// The link on its own thread, against a scripted server; each test scripts the server
// before it starts the link.
class ServerLinkThreadTest : public ::testing::Test {
 protected:
  test::FakeClock clock;
  ScriptedServer server;
  GatedObserver observer;
  CountingSink spool;
  ServerLink link{ServerLinkConfig{
      .clock = clock,
      .make_connection = [this] { return std::make_unique<ScriptedConnection>(server); },
      .read_server_host = [] { return ServerHostSettings{}; },
      .com_port = "COM1",
      .first_number = 31,
      .port_open = [] { return false; },
      .observer = observer,
      .spool = spool,
  }};
};

TEST_F(ServerLinkThreadTest, RunsSendsAndStopsWhileTheObserverIsBusy) {
  server.Reply(mtAccepted);
  for (int i = 0; i < 3; ++i) server.Reply(mtKeepAlive);

  link.Start();
  ASSERT_TRUE(server.WaitFor([](const ScriptedServer& s) { return s.WriteCountLocked() == 4; }, kPatienceMs));

  // The greeting is answered and the clock stands still: the loop idles until this enqueue.
  server.Reply(mtKeepAlive);
  ASSERT_TRUE(link.EnqueueMessage(mtEvent, {}));
  ASSERT_TRUE(server.WaitFor([](const ScriptedServer& s) { return s.WriteCountLocked() == 5; }, kPatienceMs));
  EXPECT_EQ(server.WrittenTypes().back(), mtEvent);

  // The final disconnect ticks the indicator and waits for the "main thread"; meanwhile the
  // main thread can still queue messages, and WaitStopped keeps returning.
  observer.Hold();
  link.RequestStop();
  ASSERT_TRUE(observer.WaitBlocked(kPatienceMs));
  EXPECT_TRUE(link.EnqueueMessage(mtEvent, {}));
  EXPECT_FALSE(link.WaitStopped(0));
  observer.Release();
  EXPECT_TRUE(link.WaitStopped(kPatienceMs));
  EXPECT_EQ(server.Disconnects(), 1);
  EXPECT_FALSE(link.ServerConnected());
}

TEST_F(ServerLinkThreadTest, WaitsToReconnectOnTheInjectedClockAndStopsPromptly) {
  server.RefuseNextConnects(2);
  link.Start();
  ASSERT_TRUE(server.WaitFor([](const ScriptedServer& s) { return s.ConnectsLocked() >= 1; }, kPatienceMs));
  // The next attempt is five seconds away on the test's clock, not on the wall.
  clock.Advance(ServerLink::kReconnectIntervalMs + 1);
  ASSERT_TRUE(server.WaitFor([](const ScriptedServer& s) { return s.ConnectsLocked() >= 2; }, kPatienceMs));
  link.RequestStop();
  EXPECT_TRUE(link.WaitStopped(kPatienceMs));
  EXPECT_EQ(server.Connects(), 2);
}

TEST_F(ServerLinkThreadTest, RecordsHandedInWhileTheLinkSendsAndStopsAreEachDeliveredOrSpooled) {
  // The main thread hands records in while the link thread sends them and a stop comes in
  // the middle: every record ends up answered or spooled, none twice.
  constexpr int kRecords = 300;
  server.Reply(mtAccepted);
  for (int i = 0; i < 3 + kRecords / 2; ++i) server.Reply(mtKeepAlive);
  link.Start();
  ASSERT_TRUE(server.WaitFor([](const ScriptedServer& s) { return s.WriteCountLocked() >= 4; }, kPatienceMs));

  std::set<std::vector<uint8_t>> handed;
  std::vector<std::vector<uint8_t>> refused;
  for (int i = 0; i < kRecords; ++i) {
    const std::vector<uint8_t> record{static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)};
    handed.insert(record);
    if (!link.ConnectionEstablished() || !link.EnqueueMessage(mtEvent, record)) refused.push_back(record);
    if (i == kRecords / 2) {
      link.RequestStop();
      link.SpoolWaiting();
    }
  }
  ASSERT_TRUE(link.WaitStopped(kPatienceMs));

  // Written and answered, spooled by the link, or refused to the caller: each exactly once.
  std::set<std::vector<uint8_t>> accounted(refused.begin(), refused.end());
  for (const auto& record : spool.Spooled()) EXPECT_TRUE(accounted.insert(record).second);
  for (const auto& frame : server.Writes()) {
    if (GetLe32(&frame[kTransportHeaderSize + 1]) != mtEvent) continue;
    accounted.insert(std::vector<uint8_t>(frame.begin() + kTransportHeaderSize + kMessageHeaderSize, frame.end()));
  }
  EXPECT_EQ(accounted, handed);
  EXPECT_EQ(link.EventsDelivered() + spool.Spooled().size() + refused.size(), handed.size());
}

}  // namespace
}  // namespace drv

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "wire/message_types.h"
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
  void TickServerIndicator() override {
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

class NullSink final : public SpoolAckSink {
 public:
  void SpoolAcknowledged() override {}
  void ReleaseReplayWait() override {}
};

constexpr int kPatienceMs = 10000;  // only reached when the link is broken

TEST(ServerLinkThreadTest, RunsSendsAndStopsWhileTheObserverIsBusy) {
  test::FakeClock clock;
  ScriptedServer server;
  GatedObserver observer;
  NullSink spool;
  server.Reply(mtAccepted);
  for (int i = 0; i < 3; ++i) server.Reply(mtKeepAlive);

  ServerLink link{ServerLinkConfig{
      .clock = clock,
      .make_connection = [&] { return std::make_unique<ScriptedConnection>(server); },
      .read_server_host = [] { return ServerHostSettings{}; },
      .com_port = "COM1",
      .first_number = 31,
      .port_open = [] { return false; },
      .observer = observer,
      .spool = spool,
  }};
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

TEST(ServerLinkThreadTest, StopsPromptlyWhileWaitingToReconnect) {
  test::FakeClock clock;
  ScriptedServer server;
  GatedObserver observer;
  NullSink spool;
  server.RefuseNextConnects(1);
  ServerLink link{ServerLinkConfig{
      .clock = clock,
      .make_connection = [&] { return std::make_unique<ScriptedConnection>(server); },
      .read_server_host = [] { return ServerHostSettings{}; },
      .com_port = "COM1",
      .first_number = 31,
      .port_open = [] { return false; },
      .observer = observer,
      .spool = spool,
  }};
  link.Start();
  ASSERT_TRUE(server.WaitFor([](const ScriptedServer& s) { return s.ConnectsLocked() >= 1; }, kPatienceMs));
  link.RequestStop();
  EXPECT_TRUE(link.WaitStopped(kPatienceMs));
  EXPECT_EQ(server.Connects(), 1);
}

}  // namespace
}  // namespace drv

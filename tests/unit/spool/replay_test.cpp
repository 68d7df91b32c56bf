#include "spool/replay.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "wire/message_types.h"
#include "support/fake_clock.h"
#include "support/fakes.h"

namespace drv {
namespace {

using Message = test::FakeServerLink::Message;

class SpoolReplayTest : public ::testing::Test {
 protected:
  // Spools a one-byte link-state payload; successive calls get successive names.
  std::string Spool(uint8_t marker) {
    EXPECT_TRUE(spool.WriteSpoolFile(mtLinkState, std::vector<uint8_t>{marker}));
    return *spool.FindFirstSpoolFile();
  }
  void Tick(int count = 1) {
    for (int i = 0; i < count; ++i) {
      clock.Advance(200);
      replay.Step();
    }
  }
  std::size_t SentCount() const { return link.Messages().size(); }
  void Acknowledge() { replay.SpoolAcknowledged(replay.ReplayPath()); }

  test::FakeClock clock;
  test::TempDir dir;
  test::RecordingReporter reporter;
  test::FakeServerLink link;
  SpoolFolder spool{clock, dir.Path() + "/", reporter, [](int32_t) {}};
  SpoolReplay replay{clock, spool, &link, true};
};

TEST_F(SpoolReplayTest, SendsTheFileAsStoredAndKeepsIt) {
  const std::string path = Spool(7);
  Tick();
  EXPECT_EQ(link.Messages(), (std::vector<Message>{{mtLinkState, {7}}}));
  EXPECT_EQ(link.Paths(), (std::vector<std::string>{path}));
  EXPECT_EQ(replay.ReplayPath(), path);
  EXPECT_DOUBLE_EQ(replay.LastReplayTime(), clock.Now());
  EXPECT_TRUE(std::filesystem::exists(path));
}

TEST_F(SpoolReplayTest, TypeOnlyFileGoesWithAnEmptyPayload) {
  test::WriteBytes(dir.Path("5265C00.dd8"), {0x32, 0, 0, 3});
  Tick();
  EXPECT_EQ(link.Messages(), (std::vector<Message>{{mtStoredEvent, {}}}));
}

struct IdleCase {
  const char* name;
  bool send_k8;
  bool link_exists;
  bool connected;
};

class SpoolReplayIdle : public SpoolReplayTest, public ::testing::WithParamInterface<IdleCase> {};

TEST_P(SpoolReplayIdle, SendsNothingWithoutAConnectedLink) {
  const IdleCase& c = GetParam();
  Spool(1);
  link.connected = c.connected;
  SpoolReplay idle(clock, spool, c.link_exists ? &link : nullptr, c.send_k8);
  for (int i = 0; i < 30; ++i) {
    clock.Advance(200);
    idle.Step();
  }
  EXPECT_EQ(SentCount(), 0u);
  EXPECT_EQ(idle.ReplayPath(), "");
  EXPECT_EQ(idle.LastReplayTime(), 0.0);
}

INSTANTIATE_TEST_SUITE_P(Links, SpoolReplayIdle,
                         ::testing::Values(IdleCase{"SendK8Off", false, true, true},
                                           IdleCase{"NoLink", true, false, true},
                                           IdleCase{"LinkDown", true, true, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SpoolReplayTest, UnacknowledgedFileGoesAgainOnlyAfterThreeSeconds) {
  Spool(1);
  Spool(2);
  Tick();
  const std::string first = replay.ReplayPath();
  Tick(15);  // 3.0 s after the send: not later than the wait
  EXPECT_EQ(SentCount(), 1u);
  Tick();
  ASSERT_EQ(SentCount(), 2u);
  EXPECT_EQ(link.Messages()[1], link.Messages()[0]);  // one in flight: the same file again
  EXPECT_EQ(replay.ReplayPath(), first);
}

TEST_F(SpoolReplayTest, AcknowledgementDeletesAndSendsTheNextAtOnce) {
  Spool(1);
  Spool(2);
  Tick();
  const std::string first = replay.ReplayPath();
  Acknowledge();  // without waiting for the next tick
  EXPECT_FALSE(std::filesystem::exists(first));
  ASSERT_EQ(SentCount(), 2u);
  EXPECT_NE(replay.ReplayPath(), first);
  EXPECT_NE(link.Messages()[1], link.Messages()[0]);
  EXPECT_DOUBLE_EQ(replay.LastReplayTime(), clock.Now());
}

TEST_F(SpoolReplayTest, AcknowledgementFromTheLinkThreadInsideTheSendStillSendsTheNext) {
  // The link thread may answer before the main thread's step has returned; that must
  // neither deadlock nor leave the next file waiting three seconds.
  std::vector<std::thread> acks;
  link.on_enqueue = [&] {
    if (acks.empty()) acks.emplace_back([this, path = replay.ReplayPath()] { replay.SpoolAcknowledged(path); });
  };
  Spool(1);
  Spool(2);
  Tick();
  for (auto& ack : acks) ack.join();
  EXPECT_EQ(SentCount(), 2u);
  EXPECT_EQ(dir.Names().size(), 1u);
}

TEST_F(SpoolReplayTest, AcknowledgementDeletesOnlyTheFileItAnswers) {
  const std::string first = Spool(1);
  Tick();
  const std::string other = dir.Path("5265C00.dd8");
  test::WriteBytes(other, {0x4E, 0, 0, 3, 5});
  replay.SpoolAcknowledged(first);
  EXPECT_FALSE(std::filesystem::exists(first));
  ASSERT_EQ(SentCount(), 2u);  // the other file went at once
  const DateTime sent = replay.LastReplayTime();
  clock.Advance(1000);
  replay.SpoolAcknowledged(first);  // a second acknowledgement of a file already gone
  EXPECT_TRUE(std::filesystem::exists(other));
  EXPECT_DOUBLE_EQ(replay.LastReplayTime(), sent);
  EXPECT_EQ(SentCount(), 2u);
}

TEST_F(SpoolReplayTest, RefusedEnqueueLeavesNothingInFlight) {
  Spool(1);
  link.queue_full = true;
  Tick();
  EXPECT_EQ(replay.ReplayPath(), "");
  EXPECT_EQ(replay.LastReplayTime(), 0.0);
  link.queue_full = false;
  Tick();  // no three-second wait for a file that never went
  EXPECT_EQ(SentCount(), 1u);
}

TEST_F(SpoolReplayTest, FileOnWhichConnectionsKeepEndingIsSetAsideAfterThree) {
  const std::string poison = Spool(1);
  Tick();
  replay.ReplayInterrupted(poison);
  replay.ReplayInterrupted(poison);
  replay.ReplayAnswered(poison);  // a reply in between: the count starts again
  replay.ReplayInterrupted(poison);
  replay.ReplayInterrupted(poison);
  EXPECT_TRUE(std::filesystem::exists(poison));
  replay.ReplayInterrupted(poison);
  EXPECT_FALSE(std::filesystem::exists(poison));
  EXPECT_TRUE(std::filesystem::exists(poison + ".bad"));
  ASSERT_EQ(reporter.log_lines.size(), 1u);
  EXPECT_NE(reporter.log_lines[0].find(poison + ".bad"), std::string::npos);
  // Set aside, not replayed again.
  Tick(30);
  EXPECT_EQ(SentCount(), 1u);
}

TEST_F(SpoolReplayTest, NewConnectionReleasesTheWait) {
  Spool(1);
  Tick();
  replay.ReleaseReplayWait();
  EXPECT_DOUBLE_EQ(replay.LastReplayTime(), clock.Now() - 1.0);
  Tick();
  EXPECT_EQ(SentCount(), 2u);
}

TEST_F(SpoolReplayTest, WallClockSetBackDoesNotStallTheReplay) {
  Spool(1);
  Tick();
  clock.SetWallTime(clock.Now() - 1.0 / 24);
  Tick(16);
  EXPECT_EQ(SentCount(), 2u);
  EXPECT_DOUBLE_EQ(replay.LastReplayTime(), clock.Now());
}

TEST_F(SpoolReplayTest, UnreadableFileIsSetAsideAndTheNextGoes) {
  test::WriteBytes(dir.Path("5265C00.dd8"), {0x32, 0});
  Spool(9);
  // The listing order is the folder's: either file may come first.
  Tick();
  Acknowledge();
  Tick(2);
  EXPECT_EQ(link.Messages(), (std::vector<Message>{{mtLinkState, {9}}}));
  EXPECT_TRUE(std::filesystem::exists(dir.Path("5265C00.dd8.bad")));
}

TEST_F(SpoolReplayTest, DrainsTheWholeSpoolOneAckAtATime) {
  for (uint8_t i = 0; i < 5; ++i) Spool(i);
  Tick();
  for (int i = 0; i < 5; ++i) Acknowledge();
  EXPECT_EQ(SentCount(), 5u);
  EXPECT_TRUE(dir.Names().empty());
}

}  // namespace
}  // namespace drv

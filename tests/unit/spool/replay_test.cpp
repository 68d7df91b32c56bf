#include "spool/replay.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
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

TEST_F(SpoolReplayTest, AcknowledgementDeletesAndLetsTheNextGoAtOnce) {
  Spool(1);
  Spool(2);
  Tick();
  const std::string first = replay.ReplayPath();
  replay.SpoolAcknowledged();
  EXPECT_FALSE(std::filesystem::exists(first));
  EXPECT_DOUBLE_EQ(replay.LastReplayTime(), clock.Now() - 1.0);
  Tick();
  ASSERT_EQ(SentCount(), 2u);
  EXPECT_NE(replay.ReplayPath(), first);
  EXPECT_NE(link.Messages()[1], link.Messages()[0]);
}

TEST_F(SpoolReplayTest, AcknowledgementInsideTheSendStillReleasesTheWait) {
  // The link thread may answer before the step has finished; that must neither block
  // nor leave the next file waiting three seconds.
  link.on_enqueue = [this] { replay.SpoolAcknowledged(); };
  Spool(1);
  Spool(2);
  Tick(2);
  EXPECT_EQ(SentCount(), 2u);
  EXPECT_TRUE(dir.Names().empty());
}

TEST_F(SpoolReplayTest, SecondAcknowledgementDeletesNothingAndKeepsTheTime) {
  Spool(1);
  const std::string other = dir.Path("5265C00.dd8");
  Tick();
  replay.SpoolAcknowledged();
  const DateTime released = replay.LastReplayTime();
  test::WriteBytes(other, {0x4E, 0, 0, 3});
  clock.Advance(1000);
  replay.SpoolAcknowledged();
  EXPECT_TRUE(std::filesystem::exists(other));
  EXPECT_DOUBLE_EQ(replay.LastReplayTime(), released);
}

TEST_F(SpoolReplayTest, AcknowledgementBeforeAnySendDoesNothing) {
  Spool(1);
  replay.SpoolAcknowledged();
  EXPECT_EQ(dir.Names().size(), 1u);
  EXPECT_EQ(replay.LastReplayTime(), 0.0);
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

TEST_F(SpoolReplayTest, RefusedMessageIsTriedAgainAfterTheWait) {
  Spool(1);
  link.queue_full = true;
  Tick();
  link.queue_full = false;
  Tick(15);
  EXPECT_EQ(SentCount(), 0u);
  Tick();
  EXPECT_EQ(SentCount(), 1u);
}

TEST_F(SpoolReplayTest, UnreadableFileIsSetAsideAndTheNextGoes) {
  test::WriteBytes(dir.Path("5265C00.dd8"), {0x32, 0});
  Spool(9);
  // The listing order is the folder's: either file may come first.
  Tick();
  replay.SpoolAcknowledged();
  Tick(2);
  EXPECT_EQ(link.Messages(), (std::vector<Message>{{mtLinkState, {9}}}));
  EXPECT_TRUE(std::filesystem::exists(dir.Path("5265C00.dd8.bad")));
}

TEST_F(SpoolReplayTest, DrainsTheWholeSpoolOneAckAtATime) {
  for (uint8_t i = 0; i < 5; ++i) Spool(i);
  for (int i = 0; i < 5; ++i) {
    Tick();
    replay.SpoolAcknowledged();
  }
  EXPECT_EQ(SentCount(), 5u);
  EXPECT_TRUE(dir.Names().empty());
}

}  // namespace
}  // namespace drv

#include "spool/spool_keeper.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "wire/message_types.h"
#include "support/fake_clock.h"
#include "support/fakes.h"

namespace drv {
namespace {

using Payload = std::vector<uint8_t>;

Payload Numbered(uint32_t n) {
  Payload payload(20, 0);
  std::memcpy(payload.data(), &n, sizeof n);
  return payload;
}

uint32_t NumberOf(const Payload& payload) {
  uint32_t n = 0;
  std::memcpy(&n, payload.data(), sizeof n);
  return n;
}

bool StartsWith(const std::string& text, const std::string& start) { return text.rfind(start, 0) == 0; }

// A real spool folder whose writes can be made to fail as a full disk does.
class SpoolKeeperTest : public ::testing::Test {
 protected:
  SpoolKeeper MakeKeeper(std::size_t hold_limit = SpoolKeeper::kHoldLimit) {
    return SpoolKeeper(clock, reporter, folder,
                       [this](uint32_t type, std::span<const uint8_t> payload, SpoolFolder::WriteNotes& notes) {
                         ++attempts;
                         clock.Advance(ms_per_write);
                         if (disk_full) {
                           notes.path = dir.Path("X.dd8");
                           notes.error = std::strerror(ENOSPC);
                           return false;
                         }
                         return folder.WriteQuietly(type, payload, notes);
                       },
                       hold_limit);
  }

  // The numbers of the spooled payloads, in the order of their names (one millisecond, so
  // each next name is the next free value).
  std::vector<uint32_t> SpooledNumbers() {
    std::vector<uint32_t> numbers;
    for (std::string path; (path = folder.FindFirstSpoolFile().value_or("")) != "";) {
      numbers.push_back(NumberOf(folder.ReadSpoolFile(path)->payload));
      folder.RemoveSpoolFile(path);
    }
    return numbers;
  }

  // All spool files, in name order.
  std::vector<uint32_t> SpooledInNameOrder() {
    std::vector<uint32_t> numbers;
    for (const std::string& name : dir.Names()) numbers.push_back(NumberOf(folder.ReadSpoolFile(dir.Path(name))->payload));
    return numbers;
  }

  test::FakeClock clock;
  test::TempDir dir;
  test::RecordingReporter reporter;
  SpoolFolder folder{clock, dir.Path() + "/", reporter, [](int32_t) {}};
  bool disk_full = false;
  uint64_t ms_per_write = 0;
  int attempts = 0;
};

TEST_F(SpoolKeeperTest, WritesAtOnceWhileTheSpoolTakesFiles) {
  SpoolKeeper keeper = MakeKeeper();
  for (uint32_t n = 0; n < 3; ++n) keeper.Keep(mtStoredEvent, Numbered(n));
  EXPECT_EQ(SpooledInNameOrder(), (std::vector<uint32_t>{0, 1, 2}));
  EXPECT_EQ(keeper.SpooledCount(), 3u);
  EXPECT_EQ(keeper.HeldCount(), 0u);
  EXPECT_TRUE(reporter.log_lines.empty());
}

TEST_F(SpoolKeeperTest, HoldsWhileTheDiskIsFullAndWritesInOrderOnceItTakesFilesAgain) {
  SpoolKeeper keeper = MakeKeeper();
  keeper.Keep(mtStoredEvent, Numbered(0));
  disk_full = true;
  for (uint32_t n = 1; n <= 4; ++n) keeper.Keep(mtStoredEvent, Numbered(n));
  EXPECT_EQ(keeper.HeldCount(), 4u);
  ASSERT_EQ(reporter.log_lines.size(), 1u);
  EXPECT_TRUE(StartsWith(reporter.log_lines[0], "Не удалось записать файл спула: "));
  EXPECT_NE(reporter.log_lines[0].find(std::strerror(ENOSPC)), std::string::npos);
  EXPECT_EQ(reporter.exceptions.size(), 1u);

  // Each retry of a spool that still fails is one probe, and says nothing new.
  const int before = attempts;
  for (int tick = 0; tick < 5; ++tick) keeper.RetryHeld();
  EXPECT_EQ(attempts - before, 5);
  EXPECT_EQ(reporter.log_lines.size(), 1u);

  // The disk has room again, but a new record still goes behind the held ones.
  disk_full = false;
  keeper.Keep(mtStoredEvent, Numbered(5));
  EXPECT_EQ(keeper.HeldCount(), 5u);
  keeper.RetryHeld();
  EXPECT_EQ(keeper.HeldCount(), 0u);
  EXPECT_EQ(SpooledInNameOrder(), (std::vector<uint32_t>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(keeper.SpooledCount(), 6u);
  EXPECT_EQ(keeper.LostCount(), 0u);
  ASSERT_EQ(reporter.log_lines.size(), 2u);
  EXPECT_EQ(reporter.log_lines[1], "Спул снова записывается, из памяти записано файлов: 5");

  // A later hold is announced again.
  disk_full = true;
  keeper.Keep(mtLinkState, Payload(11, 1));
  EXPECT_EQ(reporter.log_lines.size(), 3u);
}

TEST_F(SpoolKeeperTest, PastTheBoundTheNewestIsLostCountedAndReported) {
  SpoolKeeper keeper = MakeKeeper(3);
  disk_full = true;
  for (uint32_t n = 0; n < 6; ++n) keeper.Keep(mtStoredEvent, Numbered(n));
  EXPECT_EQ(keeper.HeldCount(), 3u);
  EXPECT_EQ(keeper.LostCount(), 3u);
  // The first loss is told at once, the rest of a run at most every ten seconds.
  ASSERT_EQ(reporter.log_lines.size(), 2u);
  EXPECT_EQ(reporter.log_lines[1], "Память записей для спула заполнена, потеряно записей: 1 (всего: 1)");
  keeper.RetryHeld();
  EXPECT_EQ(reporter.log_lines.size(), 2u);
  clock.Advance(SpoolKeeper::kLossReportIntervalMs);
  keeper.RetryHeld();
  ASSERT_EQ(reporter.log_lines.size(), 3u);
  EXPECT_EQ(reporter.log_lines[2], "Память записей для спула заполнена, потеряно записей: 2 (всего: 3)");

  disk_full = false;
  keeper.RetryHeld();
  EXPECT_EQ(SpooledNumbers().size(), 3u);
  EXPECT_EQ(keeper.LostCount(), 3u);
}

TEST_F(SpoolKeeperTest, LongDrainLeavesTheMainThreadBetweenSlices) {
  SpoolKeeper keeper = MakeKeeper();
  disk_full = true;
  for (uint32_t n = 0; n < 10; ++n) keeper.Keep(mtStoredEvent, Numbered(n));
  disk_full = false;
  ms_per_write = SpoolKeeper::kDrainSliceMs / 4;
  keeper.RetryHeld();
  EXPECT_EQ(keeper.HeldCount(), 6u);
  keeper.RetryHeld();
  keeper.RetryHeld();
  EXPECT_EQ(keeper.HeldCount(), 0u);
  EXPECT_EQ(SpooledInNameOrder(), (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

struct StopCase {
  const char* name;
  bool disk_full_at_stop;
  uint64_t ms_per_write;
  uint64_t deadline_in_ms;
  std::size_t left;
};

class SpoolKeeperStop : public SpoolKeeperTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(SpoolKeeperStop, WritesWhatIsHeldWithinTheDeadlineAndReportsTheRest) {
  const StopCase& c = GetParam();
  SpoolKeeper keeper = MakeKeeper();
  disk_full = true;
  for (uint32_t n = 0; n < 4; ++n) keeper.Keep(mtStoredEvent, Numbered(n));
  reporter.log_lines.clear();
  disk_full = c.disk_full_at_stop;
  ms_per_write = c.ms_per_write;

  EXPECT_EQ(keeper.FlushAtStop(clock.MonotonicMs() + c.deadline_in_ms), c.left);
  EXPECT_EQ(keeper.HeldCount(), c.left);
  std::vector<uint32_t> expected;
  for (uint32_t n = 0; n < 4 - c.left; ++n) expected.push_back(n);
  EXPECT_EQ(SpooledInNameOrder(), expected);
  const bool told = !reporter.log_lines.empty() &&
                    reporter.log_lines.back() == "При остановке не записано в спул записей: " + std::to_string(c.left);
  EXPECT_EQ(told, c.left > 0);
}

INSTANTIATE_TEST_SUITE_P(Stops, SpoolKeeperStop,
                         ::testing::Values(StopCase{"AllWritten", false, 0, 1000, 0},
                                           StopCase{"DeadlineComesFirst", false, 100, 150, 2},
                                           StopCase{"SpoolStillFull", true, 0, 1000, 4},
                                           StopCase{"DeadlinePassedAlready", false, 0, 0, 4}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SpoolKeeperTest, TwoThreadsAtOnceLoseAndDuplicateNothing) {
  // The real folder, no injected failure: the link thread spools what it could not deliver
  // while the main thread spools new events, all within one millisecond of the fake clock.
  SpoolKeeper keeper(clock, reporter, folder);
  constexpr uint32_t kEach = 300;
  const auto spool = [&](uint32_t first, bool batched) {
    for (uint32_t n = first; n < first + kEach; ++n) {
      if (batched) {
        const SpoolFolder::Batch batch(folder);
        keeper.Keep(mtStoredEvent, Numbered(n));
      } else {
        keeper.Keep(mtStoredEvent, Numbered(n));
      }
    }
  };
  std::thread main_thread(spool, 0, true);
  std::thread link_thread(spool, 100000, false);
  main_thread.join();
  link_thread.join();

  std::multiset<uint32_t> seen;
  for (const std::string& name : dir.Names()) {
    ASSERT_TRUE(name.ends_with(".dd8")) << name;
    seen.insert(NumberOf(folder.ReadSpoolFile(dir.Path(name))->payload));
  }
  std::multiset<uint32_t> expected;
  for (uint32_t n = 0; n < kEach; ++n) {
    expected.insert(n);
    expected.insert(100000 + n);
  }
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(keeper.SpooledCount(), 2 * kEach);
  EXPECT_TRUE(reporter.exceptions.empty());
}

}  // namespace
}  // namespace drv

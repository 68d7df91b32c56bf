#include "app/backlog_monitor.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fake_clock.h"

namespace drv {
namespace {

class BacklogMonitorTest : public testing::Test {
 protected:
  BacklogMonitor monitor_{clock_,
                          [this] {
                            ++scans_;
                            return folder_;
                          },
                          [this] { return held_; }};

  // Ticks once a second for `seconds`, collecting what the monitor says.
  void Run(int seconds) {
    for (int i = 0; i < seconds; ++i) {
      clock_.Advance(1000);
      Collect(monitor_.Tick());
    }
  }
  void Collect(const BacklogMonitor::Step& step) {
    if (step.operator_line) lines_.push_back(*step.operator_line);
    if (step.announcement) announced_.push_back(*step.announcement);
  }

  test::FakeClock clock_;
  SpoolBacklogScan folder_;
  std::size_t held_ = 0;
  int scans_ = 0;
  std::vector<std::string> lines_;
  std::vector<std::string> announced_;
};

TEST_F(BacklogMonitorTest, ListsTheFolderEveryTenSecondsOrWhenAsked) {
  Collect(monitor_.Tick());
  EXPECT_EQ(scans_, 1);
  Run(9);
  EXPECT_EQ(scans_, 1);
  Run(1);
  EXPECT_EQ(scans_, 2);
  monitor_.ScanSoon();
  Run(1);
  EXPECT_EQ(scans_, 3);
}

TEST_F(BacklogMonitorTest, OperatorLinesWhenBacklogStartsAndDrains) {
  Collect(monitor_.Tick());
  EXPECT_TRUE(lines_.empty()) << "nothing waiting at start says nothing";
  folder_ = {.files = 3, .oldest_age_seconds = 42, .folder_readable = true};
  Run(10);
  ASSERT_EQ(lines_.size(), 1u);
  EXPECT_EQ(lines_[0], std::string(kBacklogStartedText) + "Очередь: файлов 3 (старейший 0:00:42)");
  folder_ = {};
  Run(10);
  ASSERT_EQ(lines_.size(), 2u);
  EXPECT_EQ(lines_[1], kBacklogDrainedText);

  // Records held in memory are a backlog too, seen at the next tick without a scan.
  held_ = 2;
  Run(1);
  ASSERT_EQ(lines_.size(), 3u);
  EXPECT_EQ(lines_[2], std::string(kBacklogStartedText) + "Очередь: в памяти 2");
  held_ = 0;
  Run(1);
  EXPECT_EQ(lines_.back(), kBacklogDrainedText);
}

TEST_F(BacklogMonitorTest, AnnouncesChangesAtMostEveryTenSeconds) {
  Collect(monitor_.Tick());
  ASSERT_EQ(announced_, std::vector<std::string>{kBacklogEmptyText});
  // The count changes every second for 25 s: announcements at 10 s spacing only.
  for (int i = 1; i <= 25; ++i) {
    held_ = static_cast<std::size_t>(i);
    Run(1);
  }
  EXPECT_EQ(announced_, (std::vector<std::string>{kBacklogEmptyText, "Очередь: в памяти 10",
                                                   "Очередь: в памяти 20"}));
  // The last change is told once its interval has passed; a steady backlog is not repeated.
  Run(30);
  EXPECT_EQ(announced_.size(), 4u);
  EXPECT_EQ(announced_.back(), "Очередь: в памяти 25");
  EXPECT_EQ(monitor_.AnnouncedText(), announced_.back());
}

TEST_F(BacklogMonitorTest, OldestAgeMovesOnBetweenScans) {
  folder_ = {.files = 1, .oldest_age_seconds = 100, .folder_readable = true};
  Collect(monitor_.Tick());
  clock_.Advance(5500);
  EXPECT_DOUBLE_EQ(monitor_.Current().oldest_age_seconds, 105.5);
  // Age alone is no change worth announcing.
  Run(30);
  EXPECT_EQ(announced_.size(), 1u);
}

struct TextCase {
  const char* name;
  Backlog backlog;
  const char* text;
};

class BacklogTextCase : public testing::TestWithParam<TextCase> {};

TEST_P(BacklogTextCase, Reads) { EXPECT_EQ(BacklogText(GetParam().backlog), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Cases, BacklogTextCase,
    testing::Values(TextCase{"Empty", {}, "Очередь на отправку пуста"},
                    TextCase{"FilesOnly", {.spool_files = 12, .oldest_age_seconds = 3725.9, .held = 0},
                             "Очередь: файлов 12 (старейший 1:02:05)"},
                    TextCase{"DaysOld", {.spool_files = 1, .oldest_age_seconds = 2 * 86400 + 61, .held = 0},
                             "Очередь: файлов 1 (старейший 2 сут. 0:01:01)"},
                    TextCase{"Both", {.spool_files = 2, .oldest_age_seconds = 0, .held = 7},
                             "Очередь: файлов 2 (старейший 0:00:00), в памяти 7"}),
    [](const testing::TestParamInfo<TextCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace drv

#include "spool/spool_backlog.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/temp_dir.h"

namespace drv {
namespace {

namespace fs = std::filesystem;

class SpoolBacklogTest : public testing::Test {
 protected:
  // A file whose modification time lies `age_seconds` before kNow.
  void Make(const std::string& name, double age_seconds) {
    const std::string path = dir_.Path(name);
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << "x";
    const double when = kNow - age_seconds;
    timespec times[2];
    times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(when);
    times[0].tv_nsec = times[1].tv_nsec = static_cast<long>((when - static_cast<double>(times[0].tv_sec)) * 1e9);
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  }

  static constexpr double kNow = 1'800'000'000.0;
  test::TempDir dir_;
};

TEST_F(SpoolBacklogTest, CountsSpoolFilesUnderThePrefixAndTheOldestAge) {
  Make("spool/3B880A60.dd8", 30);
  Make("spool/3B880A61.DD8", 7200);  // the extension in any case
  Make("spool/3B880A62.Dd8", 5);
  Make("spool/3B880A63.dd8.tmp", 99999);   // being written
  Make("spool/3B880A64.dd8.bad", 99999);   // set aside
  Make("spool/notes.txt", 99999);
  fs::create_directories(dir_.Path("spool/folder.dd8"));
  const SpoolBacklogScan scan = ScanSpoolBacklog(dir_.Path("spool/"), kNow);
  EXPECT_TRUE(scan.folder_readable);
  EXPECT_EQ(scan.files, 3u);
  EXPECT_NEAR(scan.oldest_age_seconds, 7200, 0.01);
}

TEST_F(SpoolBacklogTest, NamePrefixLimitsTheFiles) {
  Make("soob1.dd8", 10);
  Make("soob2.dd8", 20);
  Make("other.dd8", 500);
  const SpoolBacklogScan scan = ScanSpoolBacklog(dir_.Path("soob"), kNow);
  EXPECT_EQ(scan.files, 2u);
  EXPECT_NEAR(scan.oldest_age_seconds, 20, 0.01);
}

TEST_F(SpoolBacklogTest, EmptyOrMissingFolder) {
  const SpoolBacklogScan empty = ScanSpoolBacklog(dir_.Path("") + "/", kNow);
  EXPECT_EQ(empty.files, 0u);
  EXPECT_EQ(empty.oldest_age_seconds, 0);
  EXPECT_TRUE(empty.folder_readable);
  const SpoolBacklogScan missing = ScanSpoolBacklog(dir_.Path("none/"), kNow);
  EXPECT_EQ(missing.files, 0u);
  EXPECT_FALSE(missing.folder_readable);
}

// A file with a modification time ahead of the clock (the clock was set back) is no age below 0.
TEST_F(SpoolBacklogTest, FutureFileHasAgeZero) {
  Make("a.dd8", -60);
  EXPECT_EQ(ScanSpoolBacklog(dir_.Path("") + "/", kNow).oldest_age_seconds, 0);
}

}  // namespace
}  // namespace drv

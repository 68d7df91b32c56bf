#include "base/rotating_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace drv {
namespace {

namespace fs = std::filesystem;

std::string Read(const std::string& path) { return test::ReadWholeFile(path); }

// Ten-byte lines "<letter>........\n", so sizes are easy to follow.
std::string Line(char letter) { return std::string(1, letter) + std::string(8, '.') + "\n"; }
std::string Lines(const std::string& letters) {
  std::string text;
  for (const char c : letters) text += Line(c);
  return text;
}

class RotatingLogTest : public testing::Test {
 protected:
  std::string Path() const { return dir_.Path("drvlarna.log"); }
  RotatingLog MakeLog(uint64_t max_bytes, int32_t keep) {
    return RotatingLog(Path(), max_bytes, keep, [this](const std::string& what) { problems_.push_back(what); });
  }
  void AppendAll(RotatingLog& log, const std::string& letters) {
    for (const char c : letters) ASSERT_TRUE(log.Append(Line(c)));
  }

  test::TempDir dir_;
  std::vector<std::string> problems_;
};

// Each row: limits, the lines appended in order, and what each file holds afterwards
// (current file first, then .1, .2, ...; files beyond the list must not exist).
struct RotationCase {
  const char* name;
  uint64_t max_bytes;
  int32_t keep;
  std::string appended;
  std::vector<std::string> files;
};

class Rotation : public RotatingLogTest, public testing::WithParamInterface<RotationCase> {};

TEST_P(Rotation, ShiftsAndKeeps) {
  const RotationCase& c = GetParam();
  RotatingLog log = MakeLog(c.max_bytes, c.keep);
  AppendAll(log, c.appended);
  ASSERT_EQ(Read(Path()), Lines(c.files[0]));
  for (std::size_t k = 1; k < c.files.size(); ++k) {
    EXPECT_EQ(Read(log.RotatedPath(static_cast<int32_t>(k))), Lines(c.files[k])) << "file ." << k;
  }
  EXPECT_FALSE(fs::exists(log.RotatedPath(static_cast<int32_t>(c.files.size())))) << "one file too many";
  EXPECT_TRUE(problems_.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Rotation,
    testing::Values(
        // A line that exactly fills the limit stays; the next one starts a new file.
        RotationCase{"ExactFitStays", 30, 2, "abc", {"abc"}},
        RotationCase{"OneOverRotates", 30, 2, "abcd", {"d", "abc"}},
        RotationCase{"OlderShift", 20, 3, "abcdef", {"ef", "cd", "ab"}},
        RotationCase{"OldestBeyondKeptRemoved", 20, 2, "abcdefg", {"g", "ef", "cd"}},
        // A line longer than the limit still goes into a file of its own.
        RotationCase{"LongLineGoesInAlone", 5, 2, "ab", {"b", "a"}},
        RotationCase{"KeepNoneStartsAnew", 20, 0, "abcde", {"e"}},
        RotationCase{"NoLimit", 0, 2, "abcdefghij", {"abcdefghij"}}),
    [](const testing::TestParamInfo<RotationCase>& info) { return std::string(info.param.name); });

TEST_F(RotatingLogTest, LimitsInKilobytes) {
  RotatingLog log = MakeLog(0, 0);
  log.SetLimitsKB(1, 1);
  const std::string kilobyte(1024, 'x');
  ASSERT_TRUE(log.Append(kilobyte));
  ASSERT_TRUE(log.Append("y"));
  EXPECT_EQ(Read(log.RotatedPath(1)), kilobyte);
  EXPECT_EQ(Read(Path()), "y");
  log.SetLimitsKB(-1, 1);  // no limit
  ASSERT_TRUE(log.Append(kilobyte));
  EXPECT_EQ(fs::file_size(Path()), 1025u);
}

// A folder in place of the oldest kept file cannot be removed (root included): the rotation
// fails, is reported once, and every line still lands in the growing file until the way
// is clear again.
TEST_F(RotatingLogTest, FailedRotationReportedOnceAndLinesKept) {
  RotatingLog log = MakeLog(20, 2);
  AppendAll(log, "ab");
  fs::create_directories(log.RotatedPath(2) + "/inside");
  AppendAll(log, "cdef");
  EXPECT_EQ(Read(Path()), Lines("abcdef"));
  ASSERT_EQ(problems_.size(), 1u);
  EXPECT_NE(problems_[0].find("drvlarna.log"), std::string::npos) << problems_[0];
  EXPECT_FALSE(fs::exists(log.RotatedPath(1))) << "no half-done rotation";

  fs::remove_all(log.RotatedPath(2));
  AppendAll(log, "g");
  EXPECT_EQ(Read(log.RotatedPath(1)), Lines("abcdef"));
  EXPECT_EQ(Read(Path()), Lines("g"));

  // A new run of failures is reported again, once.
  AppendAll(log, "h");
  fs::create_directories(log.RotatedPath(2) + "/inside");
  AppendAll(log, "ij");
  EXPECT_EQ(problems_.size(), 2u);
  EXPECT_EQ(Read(Path()), Lines("ghij"));
}

TEST_F(RotatingLogTest, UnwritableFileGivesTheError) {
  std::ofstream(dir_.Path("plain")) << "x";
  RotatingLog log(dir_.Path("plain/drvlarna.log"), 20, 2);
  std::string error;
  EXPECT_FALSE(log.Append(Line('a'), &error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace drv

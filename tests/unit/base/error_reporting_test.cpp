#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/error_list.h"
#include "base/exception_report.h"
#include "base/guarded.h"
#include "support/fake_clock.h"
#include "support/unprivileged.h"

#include "support/temp_dir.h"

namespace drv {
namespace {

namespace fs = std::filesystem;

using test::TempDir;

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// "ошибка №" in Windows-1251.
const std::string kWord = "\xEE\xF8\xE8\xE1\xEA\xE0\x20\xB9";

// --- WriteErrorCode ---------------------------------------------------------------

struct ErrorListCase {
  const char* name;
  std::string before;  // empty: no file yet
  std::vector<int32_t> codes;
  std::string after;
};

class ErrorListCaseTest : public testing::TestWithParam<ErrorListCase> {
 protected:
  TempDir dir_;
};

TEST_P(ErrorListCaseTest, AppendsLines) {
  const ErrorListCase& c = GetParam();
  const fs::path path = dir_.path() / kErrorListFileName;
  if (!c.before.empty()) std::ofstream(path, std::ios::binary) << c.before;
  for (const int32_t code : c.codes) WriteErrorCode(code, path.string());
  EXPECT_EQ(ReadBytes(path), c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ErrorListCaseTest,
    testing::Values(
        ErrorListCase{"Code9Bytes", "", {9}, "\xEE\xF8\xE8\xE1\xEA\xE0\x20\xB9\x39\x0D\x0A"},
        ErrorListCase{"TwoCallsAppend", "", {19, 9}, kWord + "19\r\n" + kWord + "9\r\n"},
        ErrorListCase{"AfterExistingContent", "old line\r\n", {11}, "old line\r\n" + kWord + "11\r\n"},
        ErrorListCase{"ZeroAndNegative", "", {0, -5}, kWord + "0\r\n" + kWord + "-5\r\n"},
        ErrorListCase{"LargestCode", "", {2147483647}, kWord + "2147483647\r\n"}),
    [](const testing::TestParamInfo<ErrorListCase>& info) { return std::string(info.param.name); });

TEST(ErrorList, FailureThrows) {
  TempDir dir;
  EXPECT_THROW(WriteErrorCode(9, (dir.path() / "missing" / kErrorListFileName).string()), std::runtime_error);
  // A folder in the file's place.
  fs::create_directory(dir.path() / kErrorListFileName);
  EXPECT_THROW(WriteErrorCode(9, (dir.path() / kErrorListFileName).string()), std::runtime_error);
}

TEST(ErrorList, UnreadableFileIsStartedAfresh) {
  TempDir dir;
  const fs::path path = dir.path() / kErrorListFileName;
  std::ofstream(path, std::ios::binary) << "old line\r\n";
  fs::permissions(path, fs::perms::owner_write);
  ASSERT_TRUE(test::RunUnprivileged(dir.path(), [&] { WriteErrorCode(9, path.string()); }));
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(ReadBytes(path), kWord + "9\r\n");
}

// --- ExceptionReport --------------------------------------------------------------

class ExceptionReportTest : public testing::Test {
 protected:
  std::string LogPath() const { return (dir_.path() / "errors.log").string(); }
  TempDir dir_;
  test::FakeClock clock_{MakeDateTime({2026, 12, 5, 14, 3, 7, 250})};
  std::ostringstream err_;
};

TEST_F(ExceptionReportTest, WritesOneLineToStreamAndFile) {
  ExceptionReport report(clock_, LogPath(), &err_);
  report.Report("Timer2Timer", "disk full");
  clock_.Advance(61000);
  report.Report("FormCreate", "Attention \"abc\" is not a time of day");
  const std::string expected =
      "05.12.2026 14:03:07 Timer2Timer: disk full\n"
      "05.12.2026 14:04:08 FormCreate: Attention \"abc\" is not a time of day\n";
  EXPECT_EQ(err_.str(), expected);
  EXPECT_EQ(ReadBytes(LogPath()), expected);
}

TEST_F(ExceptionReportTest, LineBreaksInMessageStayOnOneLine) {
  ExceptionReport report(clock_, LogPath(), &err_);
  report.Report("Port\nChoice", "first\r\nsecond");
  EXPECT_EQ(err_.str(), "05.12.2026 14:03:07 Port Choice: first  second\n");
}

TEST_F(ExceptionReportTest, UnwritableFileStillReachesStream) {
  ExceptionReport report(clock_, (dir_.path() / "missing" / "errors.log").string(), &err_);
  report.Report("Timer2Timer", "boom");
  EXPECT_EQ(err_.str(), "05.12.2026 14:03:07 Timer2Timer: boom\n");
}

// The report keeps to its size limit like the hex log; a rotation in the way is itself
// reported once, and no report is lost to it.
TEST_F(ExceptionReportTest, FileRotatesAtItsLimit) {
  ExceptionReport report(clock_, LogPath(), &err_);
  report.SetLimitsKB(1, 1);
  const std::string what(100, 'x');
  for (int i = 0; i < 25; ++i) report.Report("Timer2Timer", what);  // about 3 KB
  EXPECT_LE(fs::file_size(LogPath()), 1024u);
  EXPECT_LE(fs::file_size(LogPath() + ".1"), 1024u);
  EXPECT_FALSE(fs::exists(LogPath() + ".2"));

  fs::remove(LogPath() + ".1");
  fs::create_directories(LogPath() + ".1/inside");
  const auto before = fs::file_size(LogPath());
  for (int i = 0; i < 20; ++i) report.Report("Timer2Timer", what);
  const std::string text = ReadBytes(LogPath());
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'),
            static_cast<long>(before / (what.size() + 34)) + 20 + 1) << "every report and one rotation notice";
  EXPECT_NE(text.find("cannot rotate"), std::string::npos);
}

TEST_F(ExceptionReportTest, ReportsFromManyThreadsKeepWholeLines) {
  ExceptionReport report(clock_, LogPath(), &err_);
  constexpr int kThreads = 4;
  constexpr int kReports = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&report, t] {
      for (int i = 0; i < kReports; ++i) report.Report("thread" + std::to_string(t), "report " + std::to_string(i));
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::vector<std::string> expected;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kReports; ++i) {
      expected.push_back("05.12.2026 14:03:07 thread" + std::to_string(t) + ": report " + std::to_string(i));
    }
  }
  std::sort(expected.begin(), expected.end());
  for (const std::string& text : {err_.str(), ReadBytes(LogPath())}) {
    std::istringstream in(text);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, expected);
  }
}

// --- RunGuarded ---------------------------------------------------------------------

class RecordingReporter : public Reporter {
 public:
  void ReportException(const std::string& where, const std::string& what) override {
    reports.emplace_back(where, what);
    if (fail) throw std::runtime_error("reporter down");
  }
  void OperatorLog(const std::string&) override {}

  std::vector<std::pair<std::string, std::string>> reports;
  bool fail = false;
};

TEST(RunGuarded, BodyThatFinishesReportsNothing) {
  RecordingReporter reporter;
  int runs = 0;
  EXPECT_TRUE(RunGuarded(reporter, "Timer2Timer", [&] { ++runs; }));
  EXPECT_EQ(runs, 1);
  EXPECT_TRUE(reporter.reports.empty());
}

TEST(RunGuarded, EscapingErrorsAreReportedAndSwallowed) {
  struct Row {
    const char* name;
    void (*body)();
    const char* what;
  };
  const Row rows[] = {
      {"std::exception", [] { throw std::runtime_error("disk full"); }, "disk full"},
      {"logic_error", [] { throw std::out_of_range("index 5"); }, "index 5"},
      {"not an exception", [] { throw 42; }, "unknown error"},
  };
  for (const Row& row : rows) {
    RecordingReporter reporter;
    EXPECT_FALSE(RunGuarded(reporter, "PortChoice", row.body)) << row.name;
    ASSERT_EQ(reporter.reports.size(), 1u) << row.name;
    EXPECT_EQ(reporter.reports[0].first, "PortChoice");
    EXPECT_EQ(reporter.reports[0].second, row.what) << row.name;
  }
}

TEST(RunGuarded, FailingReporterDoesNotEscape) {
  RecordingReporter reporter;
  reporter.fail = true;
  EXPECT_FALSE(RunGuarded(reporter, "Timer2Timer", [] { throw std::runtime_error("boom"); }));
  EXPECT_EQ(reporter.reports.size(), 1u);
}

}  // namespace
}  // namespace drv

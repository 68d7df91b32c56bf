#include "base/durable_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace drv::durable {
namespace {

namespace fs = std::filesystem;

std::string Read(const std::string& path) { return test::ReadWholeFile(path); }

void Write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

struct WriteCase {
  const char* name;
  const char* existing;  // nullptr: no file there yet
  bool exclusive;
  Step failed_at;
  int error;
  const char* after;  // the file's content afterwards; nullptr: no file
};

class WriteFileCase : public testing::TestWithParam<WriteCase> {
 protected:
  test::TempDir dir_;
};

TEST_P(WriteFileCase, WritesOrLeavesTheOldFile) {
  const WriteCase& c = GetParam();
  const std::string path = dir_.Path("f");
  if (c.existing != nullptr) Write(path, c.existing);
  const WriteResult result = WriteFile(path, "new", {.exclusive = c.exclusive});
  EXPECT_EQ(result.failed_at, c.failed_at);
  EXPECT_EQ(result.error, c.error);
  EXPECT_EQ(static_cast<bool>(result), c.failed_at == Step::kNone);
  if (c.after == nullptr) {
    EXPECT_FALSE(fs::exists(path));
  } else {
    EXPECT_EQ(Read(path), c.after);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WriteFileCase,
    testing::Values(WriteCase{"NewFile", nullptr, false, Step::kNone, 0, "new"},
                    WriteCase{"TruncatesOld", "older and longer", false, Step::kNone, 0, "new"},
                    WriteCase{"ExclusiveNew", nullptr, true, Step::kNone, 0, "new"},
                    WriteCase{"ExclusiveKeepsOld", "old", true, Step::kOpen, EEXIST, "old"}),
    [](const testing::TestParamInfo<WriteCase>& info) { return std::string(info.param.name); });

TEST(DurableWriteFile, FolderThatIsAFileFailsAtOpen) {
  test::TempDir dir;
  Write(dir.Path("plain"), "x");
  const WriteResult result = WriteFile(dir.Path("plain/f"), "new");
  EXPECT_EQ(result.failed_at, Step::kOpen);
  EXPECT_EQ(result.error, ENOTDIR);
  EXPECT_STREQ(StepName(result.failed_at), "open");
}

// A full disk part-way: the half-written file must not stay behind to be taken for a whole one.
TEST(DurableWriteFile, FailedWriteRemovesThePart) {
  test::TempDir dir;
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit tiny = saved;
  tiny.rlim_cur = 4;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tiny), 0);
  const WriteResult result = WriteFile(dir.Path("f"), "longer than four bytes");
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, old_handler);

  EXPECT_EQ(result.failed_at, Step::kWrite);
  EXPECT_EQ(result.error, EFBIG);
  EXPECT_TRUE(dir.Names().empty());
}

TEST(DurableWriteFile, TakesModeOfAnotherFile) {
  test::TempDir dir;
  Write(dir.Path("model"), "m");
  ASSERT_EQ(::chmod(dir.Path("model").c_str(), 0640), 0);
  struct stat model {};
  ASSERT_EQ(::stat(dir.Path("model").c_str(), &model), 0);
  ASSERT_TRUE(WriteFile(dir.Path("f"), "new", {.mode = 0666, .like = &model}));
  struct stat written {};
  ASSERT_EQ(::stat(dir.Path("f").c_str(), &written), 0);
  EXPECT_EQ(written.st_mode & 07777, 0640u);
  EXPECT_EQ(written.st_uid, model.st_uid);
}

TEST(DurableMove, NoReplaceNeverOverwrites) {
  test::TempDir dir;
  Write(dir.Path("a"), "a");
  Write(dir.Path("b"), "b");
  int error = 0;
  EXPECT_EQ(MoveNoReplace(dir.Path("a"), dir.Path("b"), error), MoveResult::kTaken);
  EXPECT_EQ(Read(dir.Path("a")), "a");
  EXPECT_EQ(Read(dir.Path("b")), "b");

  EXPECT_EQ(MoveNoReplace(dir.Path("a"), dir.Path("c"), error), MoveResult::kDone);
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"b", "c"}));
  EXPECT_EQ(Read(dir.Path("c")), "a");

  EXPECT_EQ(MoveNoReplace(dir.Path("a"), dir.Path("d"), error), MoveResult::kFailed);
  EXPECT_EQ(error, ENOENT);
}

TEST(DurableMove, ReplacingOverwrites) {
  test::TempDir dir;
  Write(dir.Path("a"), "a");
  Write(dir.Path("b"), "b");
  EXPECT_EQ(MoveReplacing(dir.Path("a"), dir.Path("b")), 0);
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"b"});
  EXPECT_EQ(Read(dir.Path("b")), "a");
  EXPECT_EQ(MoveReplacing(dir.Path("a"), dir.Path("b")), ENOENT);
}

TEST(DurableSyncFolder, FolderSyncsAndAFileIsNoFolder) {
  test::TempDir dir;
  EXPECT_EQ(SyncFolder(dir.Path()), 0);
  Write(dir.Path("plain"), "x");
  EXPECT_EQ(SyncFolder(dir.Path("plain")), ENOTDIR);
  EXPECT_EQ(SyncFolder(dir.Path("missing")), ENOENT);
}

}  // namespace
}  // namespace drv::durable

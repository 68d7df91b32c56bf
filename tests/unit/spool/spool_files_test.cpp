#include "spool/spool_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/date_time.h"
#include "wire/message_types.h"
#include "support/fake_clock.h"
#include "support/fakes.h"
#include "support/unprivileged.h"

namespace drv {
namespace {

using Names = std::vector<std::string>;

// A clock whose wall time is no date at all.
class BrokenClock final : public Clock {
 public:
  DateTime Now() const override { return std::numeric_limits<double>::quiet_NaN(); }
  uint32_t TickMs() const override { return 0; }
  uint64_t MonotonicMs() const override { return 0; }
};

const std::vector<uint8_t> kEvent(20, 0xAB);

class SpoolFolderTest : public ::testing::Test {
 protected:
  SpoolFolder Folder(const std::string& prefix) {
    return SpoolFolder(clock, prefix, reporter, [this](int32_t code) { error_codes.push_back(code); });
  }

  test::FakeClock clock;  // the 5th, 14:03:07.250
  test::TempDir dir;
  test::RecordingReporter reporter;
  std::vector<int32_t> error_codes;
};

struct NameCase {
  const char* name;
  CivilTime time;
  const char* spool_name;
};

class SpoolNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(SpoolNames, AreTheHexTimeValueOfTheMonth) {
  EXPECT_EQ(SpoolFolder::SpoolName(MakeDateTime(GetParam().time)), GetParam().spool_name);
}

INSTANTIATE_TEST_SUITE_P(Times, SpoolNames,
                         ::testing::Values(NameCase{"Fifth", {2026, 12, 5, 14, 3, 7, 250}, "1CC3B272"},
                                           NameCase{"FirstMidnight", {2026, 1, 1, 0, 0, 0, 0}, "5265C00"},
                                           NameCase{"LastMoment", {2026, 1, 31, 23, 59, 59, 999}, "A4CB7FFF"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SpoolNameTest, NoDateThrows) {
  EXPECT_THROW(SpoolFolder::SpoolName(std::numeric_limits<double>::quiet_NaN()), std::invalid_argument);
  EXPECT_THROW(SpoolFolder::SpoolName(1e300), std::invalid_argument);
}

TEST_F(SpoolFolderTest, EventFileHoldsTypeThenPayload) {
  ASSERT_TRUE(Folder(dir.Path() + "/").WriteSpoolFile(mtStoredEvent, kEvent));
  EXPECT_EQ(dir.Names(), Names{"1CC3B272.dd8"});
  std::vector<uint8_t> expected = {0x32, 0x00, 0x00, 0x03};
  expected.insert(expected.end(), kEvent.begin(), kEvent.end());
  EXPECT_EQ(test::ReadBytes(dir.Path("1CC3B272.dd8")), expected);
  EXPECT_TRUE(reporter.exceptions.empty());
}

TEST_F(SpoolFolderTest, TakenNamesStepToTheNextValue) {
  // A file left from an earlier month under the same value must survive too.
  test::WriteBytes(dir.Path("1CC3B273.dd8"), {1, 2, 3, 4});
  SpoolFolder folder = Folder(dir.Path() + "/");
  for (uint8_t i = 0; i < 3; ++i) ASSERT_TRUE(folder.WriteSpoolFile(mtLinkState, std::vector<uint8_t>{i}));
  EXPECT_EQ(dir.Names(), (Names{"1CC3B272.dd8", "1CC3B273.dd8", "1CC3B274.dd8", "1CC3B275.dd8"}));
  EXPECT_EQ(test::ReadBytes(dir.Path("1CC3B272.dd8")).back(), 0);
  EXPECT_EQ(test::ReadBytes(dir.Path("1CC3B273.dd8")), (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(test::ReadBytes(dir.Path("1CC3B274.dd8")).back(), 1);
  EXPECT_EQ(test::ReadBytes(dir.Path("1CC3B275.dd8")).back(), 2);
}

TEST_F(SpoolFolderTest, HalfWrittenFilesAreNeverSeenAsSpool) {
  // What a power cut leaves of a write in progress: the temporary name only.
  test::WriteBytes(dir.Path("1CC3B272.dd8.tmp"), {0x32});
  SpoolFolder folder = Folder(dir.Path() + "/");
  EXPECT_FALSE(folder.FindFirstSpoolFile());
  ASSERT_TRUE(folder.WriteSpoolFile(mtStoredEvent, kEvent));
  EXPECT_EQ(dir.Names(), Names{"1CC3B272.dd8"});
  EXPECT_EQ(test::ReadBytes(dir.Path("1CC3B272.dd8")).size(), 24u);
}

TEST_F(SpoolFolderTest, FilesOfABatchAreWholeAndApartFromTheFirstWrite) {
  SpoolFolder folder = Folder(dir.Path() + "/");
  {
    const SpoolFolder::Batch batch(folder);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(folder.WriteSpoolFile(mtStoredEvent, kEvent));
    // Same millisecond: the next free values, each file whole, nothing temporary left.
    EXPECT_EQ(dir.Names(), (Names{"1CC3B272.dd8", "1CC3B273.dd8", "1CC3B274.dd8"}));
  }
  for (const std::string& name : dir.Names()) EXPECT_EQ(test::ReadBytes(dir.Path(name)).size(), 24u);
  EXPECT_TRUE(reporter.exceptions.empty());
}

std::vector<uint8_t> Record(uint32_t type, size_t payload_size) {
  std::vector<uint8_t> bytes = {static_cast<uint8_t>(type), static_cast<uint8_t>(type >> 8),
                                static_cast<uint8_t>(type >> 16), static_cast<uint8_t>(type >> 24)};
  bytes.resize(4 + payload_size, 0x5A);
  return bytes;
}

struct LeftoverCase {
  const char* name;
  std::vector<uint8_t> content;
  bool second_link;  // already published under a .dd8 name (a cut-off link-and-unlink)
  Names after;
};

class LeftoverTemps : public SpoolFolderTest, public ::testing::WithParamInterface<LeftoverCase> {};

TEST_P(LeftoverTemps, WholeRecordsArePublishedPartialOnesRemoved) {
  const LeftoverCase& c = GetParam();
  // 1CC3B272.dd8 is taken: a published leftover must step to a free name, never replace it.
  test::WriteBytes(dir.Path("1CC3B272.dd8"), Record(mtStoredEvent, 20));
  test::WriteBytes(dir.Path("1CC3B272.dd8.7.tmp"), c.content);
  if (c.second_link) ASSERT_EQ(::link(dir.Path("1CC3B272.dd8.7.tmp").c_str(), dir.Path("linked").c_str()), 0);
  test::WriteBytes(dir.Path("notes.tmp"), {0x01});
  SpoolFolder folder = Folder(dir.Path() + "/");
  EXPECT_EQ(dir.Names(), c.after);
  if (std::filesystem::exists(dir.Path("1CC3B273.dd8"))) {
    EXPECT_EQ(test::ReadBytes(dir.Path("1CC3B273.dd8")), c.content);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, LeftoverTemps,
    ::testing::Values(
        LeftoverCase{"WholeEvent", Record(mtStoredEvent, 20), false, {"1CC3B272.dd8", "1CC3B273.dd8", "notes.tmp"}},
        LeftoverCase{"WholeLinkState", Record(mtLinkState, 11), false, {"1CC3B272.dd8", "1CC3B273.dd8", "notes.tmp"}},
        LeftoverCase{"CutEvent", Record(mtStoredEvent, 19), false, {"1CC3B272.dd8", "notes.tmp"}},
        LeftoverCase{"CutType", {0x32, 0x00}, false, {"1CC3B272.dd8", "notes.tmp"}},
        LeftoverCase{"LinkStateSizedEvent", Record(mtStoredEvent, 11), false, {"1CC3B272.dd8", "notes.tmp"}},
        LeftoverCase{"UnknownType", Record(mtEvent, 20), false, {"1CC3B272.dd8", "notes.tmp"}},
        LeftoverCase{"PublishedAlready", Record(mtStoredEvent, 20), true, {"1CC3B272.dd8", "linked", "notes.tmp"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SpoolFolderTest, MissingFolderIsCreatedAtStartAndWhenItHasGone) {
  const std::string prefix = dir.Path("spool/deep") + "/";
  SpoolFolder folder = Folder(prefix);
  EXPECT_TRUE(std::filesystem::is_directory(prefix));
  EXPECT_EQ(reporter.log_lines, std::vector<std::string>{"Создана папка спула: " + prefix});

  std::filesystem::remove_all(dir.Path("spool"));
  ASSERT_TRUE(folder.WriteSpoolFile(mtStoredEvent, kEvent));
  EXPECT_EQ(test::ReadBytes(prefix + "1CC3B272.dd8").size(), 24u);
  EXPECT_EQ(reporter.log_lines.size(), 2u);
  EXPECT_EQ(reporter.log_lines.back(), "Создана папка спула: " + prefix);
  EXPECT_TRUE(reporter.exceptions.empty());

  // A folder that is there already is not announced.
  reporter.log_lines.clear();
  SpoolFolder again = Folder(prefix);
  ASSERT_TRUE(again.WriteSpoolFile(mtStoredEvent, kEvent));
  EXPECT_TRUE(reporter.log_lines.empty());
}

TEST_F(SpoolFolderTest, NamesFromCaseBlindFileSystemsAreFoundAndDeletedAsFound) {
  SpoolFolder folder = Folder(dir.Path() + "/");
  test::WriteBytes(dir.Path("1CC3B272.DD8"), Record(mtStoredEvent, 20));
  const auto found = folder.FindFirstSpoolFile();
  ASSERT_EQ(found, dir.Path("1CC3B272.DD8"));
  const auto file = folder.ReadSpoolFile(*found);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->type, mtStoredEvent);
  EXPECT_TRUE(folder.RemoveSpoolFile(*found));
  EXPECT_TRUE(dir.Names().empty());
  test::WriteBytes(dir.Path("a.Dd8"), {0x32, 0, 0, 3});
  EXPECT_EQ(folder.FindFirstSpoolFile(), dir.Path("a.Dd8"));
}

TEST_F(SpoolFolderTest, PrefixWithoutSeparatorNamesFilesBesideTheFolder) {
  std::filesystem::create_directory(dir.Path("spool"));
  test::WriteBytes(dir.Path("other.dd8"), {1, 0, 0, 0});
  SpoolFolder folder = Folder(dir.Path("spool"));
  ASSERT_TRUE(folder.WriteSpoolFile(mtStoredEvent, kEvent));
  EXPECT_EQ(dir.Names(), (Names{"other.dd8", "spool", "spool1CC3B272.dd8"}));
  EXPECT_EQ(folder.FindFirstSpoolFile(), dir.Path("spool1CC3B272.dd8"));
}

TEST_F(SpoolFolderTest, EmptyPrefixIsTheCurrentDirectory) {
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.Path());
  SpoolFolder folder = Folder("");
  const bool written = folder.WriteSpoolFile(mtStoredEvent, kEvent);
  const auto found = folder.FindFirstSpoolFile();
  std::filesystem::current_path(previous);
  EXPECT_TRUE(written);
  EXPECT_EQ(found, "1CC3B272.dd8");
  EXPECT_EQ(dir.Names(), Names{"1CC3B272.dd8"});
}

struct UnwritableCase {
  const char* name;
  std::string prefix;  // below the temporary folder
  bool needs_permissions;  // permission bits do not stop root: written by an unprivileged child
};

class UnwritableSpool : public SpoolFolderTest, public ::testing::WithParamInterface<UnwritableCase> {};

TEST_P(UnwritableSpool, IsReportedNotSilentlyLost) {
  const UnwritableCase& c = GetParam();
  test::WriteBytes(dir.Path("file"), {});
  std::filesystem::create_directory(dir.Path("readonly"));
  ::chmod(dir.Path("readonly").c_str(), 0555);

  if (c.needs_permissions) {
    // The child's report is its own; it says by its exit whether it saw what the parent would.
    ASSERT_TRUE(test::RunUnprivileged(dir.Path(), [&] {
      const bool written = Folder(dir.Path(c.prefix)).WriteSpoolFile(mtStoredEvent, kEvent);
      if (written || reporter.exceptions.size() != 1u || reporter.log_lines.size() != 1u ||
          reporter.log_lines[0].find("1CC3B272.dd8") == std::string::npos) {
        throw std::runtime_error("written, or not reported once");
      }
    }));
    EXPECT_EQ(dir.Names(), (Names{"file", "readonly"}));
    return;
  }
  EXPECT_FALSE(Folder(dir.Path(c.prefix)).WriteSpoolFile(mtStoredEvent, kEvent));
  EXPECT_EQ(reporter.exceptions.size(), 1u);
  ASSERT_EQ(reporter.log_lines.size(), 1u);
  EXPECT_EQ(reporter.log_lines[0].rfind("Не удалось записать файл спула: ", 0), 0u);
  EXPECT_NE(reporter.log_lines[0].find("1CC3B272.dd8"), std::string::npos);
  EXPECT_TRUE(error_codes.empty());
  EXPECT_EQ(dir.Names(), (Names{"file", "readonly"}));
}

INSTANTIATE_TEST_SUITE_P(Folders, UnwritableSpool,
                         ::testing::Values(UnwritableCase{"UnderAFile", "file/sub/", false},
                                           UnwritableCase{"NotAFolder", "file/", false},
                                           UnwritableCase{"ReadOnlyFolder", "readonly/", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SpoolFolderTest, NoNameWritesErrorCodeElevenAndReports) {
  BrokenClock broken;
  SpoolFolder folder(broken, dir.Path() + "/", reporter, [this](int32_t code) {
    error_codes.push_back(code);
    throw std::runtime_error("error list locked");  // absorbed
  });
  EXPECT_FALSE(folder.WriteSpoolFile(mtStoredEvent, kEvent));
  EXPECT_EQ(error_codes, (std::vector<int32_t>{11}));
  EXPECT_EQ(reporter.exceptions.size(), 1u);
  EXPECT_EQ(reporter.log_lines.size(), 1u);
  EXPECT_TRUE(dir.Names().empty());
}

TEST_F(SpoolFolderTest, FindsOnlyMatchingFilesHiddenIncluded) {
  SpoolFolder folder = Folder(dir.Path() + "/");
  EXPECT_FALSE(folder.FindFirstSpoolFile());
  std::filesystem::create_directory(dir.Path("folder.dd8"));
  test::WriteBytes(dir.Path("a.dd8.bad"), {});
  test::WriteBytes(dir.Path("a.dd9"), {});
  EXPECT_FALSE(folder.FindFirstSpoolFile());
  test::WriteBytes(dir.Path(".hidden.dd8"), {});
  EXPECT_EQ(folder.FindFirstSpoolFile(), dir.Path(".hidden.dd8"));
  EXPECT_FALSE(Folder(dir.Path("missing/")).FindFirstSpoolFile());
}

struct ReadCase {
  const char* name;
  std::vector<uint8_t> content;
  bool readable;
  uint32_t type;
  std::vector<uint8_t> payload;
};

class SpoolRead : public SpoolFolderTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(SpoolRead, GivesTheMessageOrSetsTheFileAside) {
  const ReadCase& c = GetParam();
  const std::string path = dir.Path("1CC3B272.dd8");
  test::WriteBytes(path, c.content);
  SpoolFolder folder = Folder(dir.Path() + "/");
  const auto file = folder.ReadSpoolFile(path);
  ASSERT_EQ(file.has_value(), c.readable);
  if (c.readable) {
    EXPECT_EQ(file->type, c.type);
    EXPECT_EQ(file->payload, c.payload);
    EXPECT_EQ(dir.Names(), Names{"1CC3B272.dd8"});
  } else {
    EXPECT_EQ(dir.Names(), Names{"1CC3B272.dd8.bad"});
    EXPECT_EQ(reporter.log_lines.size(), 1u);
    EXPECT_FALSE(folder.FindFirstSpoolFile());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, SpoolRead,
    ::testing::Values(ReadCase{"TypeOnly", {0x4E, 0, 0, 3}, true, mtLinkState, {}},
                      ReadCase{"Event", {0x32, 0, 0, 3, 9, 8, 7}, true, mtStoredEvent, {9, 8, 7}},
                      ReadCase{"Empty", {}, false, 0, {}},
                      ReadCase{"ThreeBytes", {0x32, 0, 0}, false, 0, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SpoolFolderTest, SetAsideNeverReplacesAnEarlierOne) {
  SpoolFolder folder = Folder(dir.Path() + "/");
  const std::string path = dir.Path("A.dd8");
  test::WriteBytes(path, {1});
  EXPECT_FALSE(folder.ReadSpoolFile(path));
  test::WriteBytes(path, {2});
  EXPECT_FALSE(folder.ReadSpoolFile(path));
  EXPECT_EQ(dir.Names(), (Names{"A.dd8.bad", "A.dd8.bad1"}));
}

TEST_F(SpoolFolderTest, GoneFileIsNoErrorAndRemoveTellsWhetherItDeleted) {
  SpoolFolder folder = Folder(dir.Path() + "/");
  EXPECT_FALSE(folder.ReadSpoolFile(dir.Path("gone.dd8")));
  EXPECT_TRUE(reporter.log_lines.empty());
  EXPECT_TRUE(reporter.exceptions.empty());
  test::WriteBytes(dir.Path("x.dd8"), {0, 0, 0, 0});
  EXPECT_TRUE(folder.RemoveSpoolFile(dir.Path("x.dd8")));
  EXPECT_FALSE(folder.RemoveSpoolFile(dir.Path("x.dd8")));
}

}  // namespace
}  // namespace drv

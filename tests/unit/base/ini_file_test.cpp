#include "base/ini_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace drv {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

using test::TempDir;

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

std::vector<std::string> FolderEntries(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  return names;
}

// --- reading -----------------------------------------------------------------

struct ReadCase {
  const char* name;
  std::string content;
  const char* section;
  const char* key;
  std::optional<std::string> expected;
};

class IniRead : public testing::TestWithParam<ReadCase> {};

TEST_P(IniRead, FindsValue) {
  const ReadCase& c = GetParam();
  EXPECT_EQ(IniFile::FromBytes(c.content).Find(c.section, c.key), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IniRead,
    testing::Values(
        ReadCase{"Plain", "[port]\r\nComPort=COM3\r\n", "port", "ComPort", "COM3"},
        ReadCase{"SectionNameIgnoresCase", "[PORT]\nComPort=COM3\n", "port", "ComPort", "COM3"},
        ReadCase{"KeyNameIgnoresCase", "[port]\ncomPORT=COM3", "Port", "ComPort", "COM3"},
        ReadCase{"BlanksTrimmed", "[port]\n \tComPort \t=  \tCOM 3 \t\r\n", "port", "ComPort", "COM 3"},
        ReadCase{"HeaderWithBlanks", "  [ port ]  \nComPort=COM4", "port", "ComPort", "COM4"},
        ReadCase{"ValueAfterFirstEquals", "[main]\nReg=a=b\n", "main", "Reg", "a=b"},
        ReadCase{"EmptyValueIsNotMissing", "[main]\nReg=\n", "main", "Reg", ""},
        ReadCase{"MissingKey", "[main]\nLog=1\n", "main", "Reg", std::nullopt},
        ReadCase{"MissingSection", "[main]\nLog=1\n", "port", "Log", std::nullopt},
        ReadCase{"EmptyFile", "", "main", "Log", std::nullopt},
        ReadCase{"KeyBeforeAnySection", "ComPort=COM1\n[port]\n", "port", "ComPort", std::nullopt},
        ReadCase{"KeyOfAnotherSection", "[main]\nComPort=COM1\n[port]\nDTR=1\n", "port", "ComPort", std::nullopt},
        ReadCase{"CommentSkipped", "[port]\n;ComPort=COM1\n  ; x=y\nComPort=COM2\n", "port", "ComPort", "COM2"},
        ReadCase{"OnlyComment", "[port]\n; ComPort=COM1\n", "port", "ComPort", std::nullopt},
        ReadCase{"LineWithoutEqualsIgnored", "[port]\ngarbage\nComPort=COM5", "port", "ComPort", "COM5"},
        ReadCase{"DuplicateKeyFirstWins", "[port]\nComPort=COM1\ncomport=COM2\n", "port", "ComPort", "COM1"},
        ReadCase{"DuplicateSectionFirstWins", "[port]\nComPort=COM1\n[Port]\nComPort=COM2\n", "port", "ComPort",
                 "COM1"},
        ReadCase{"LaterDuplicateSectionNotSearched", "[port]\nComPort=COM1\n[port]\nDTR=1\n", "port", "DTR",
                 std::nullopt},
        ReadCase{"NulEndsValue", "[port]\nComPort=CO\0M9 \n"s, "port", "ComPort", "CO"},
        ReadCase{"Cp1251BytesKept", "[main]\r\nCaption=\xCF\xEE\xF1\xF2 2\r\n", "main", "Caption",
                 "\xCF\xEE\xF1\xF2 2"},
        ReadCase{"CyrillicNameMatchesExactly", "[main]\n\xCF\xEE\xF1\xF2=1\n", "main", "\xCF\xEE\xF1\xF2", "1"},
        ReadCase{"HeaderWithoutBracket", "[port\nComPort=COM6\n", "port", "ComPort", "COM6"}),
    [](const testing::TestParamInfo<ReadCase>& info) { return std::string(info.param.name); });

TEST(IniFile, LongValueIsCutTo2047Characters) {
  const std::string long_value(3000, 'a');
  const IniFile ini = IniFile::FromBytes("[main]\nPathForSoob=" + long_value + "\n");
  EXPECT_EQ(ini.Find("main", "PathForSoob"), std::string(2047, 'a'));
}

TEST(IniFile, MissingFileReadsAsEmpty) {
  TempDir dir;
  const IniFile ini = IniFile::Load((dir.path() / "none.ini").string());
  EXPECT_EQ(ini.Find("port", "ComPort"), std::nullopt);
  EXPECT_EQ(ini.ReadString("port", "ComPort", "COM255"), "COM255");
}

TEST(IniFile, KeysInFileOrderEachOnce) {
  const IniFile ini = IniFile::FromBytes("[ComMap]\nCOM3=/dev/a\n;COM9=x\ncom4=/dev/b\nCom3=/dev/c\n[x]\ny=1\n");
  EXPECT_EQ(ini.Keys("commap"), (std::vector<std::string>{"COM3", "com4"}));
  EXPECT_TRUE(ini.Keys("none").empty());
}

// Random bytes, NULs and stray brackets must neither crash the reader nor confuse the
// writer: whatever the file held, the key written reads back.
TEST(IniFile, GarbageNeverBreaksReadOrWrite) {
  std::mt19937 random(12345);
  const std::string alphabet = "[]=;\r\n \t\0abcPORTcomport\xFF\x80"s;
  for (int round = 0; round < 200; ++round) {
    std::string bytes(static_cast<std::size_t>(random() % 4000), '\0');
    for (char& c : bytes) {
      c = (round % 2 == 0) ? static_cast<char>(random() % 256) : alphabet[random() % alphabet.size()];
    }
    const IniFile ini = IniFile::FromBytes(bytes);
    for (const std::string& key : ini.Keys("port")) {
      EXPECT_LE(ini.ReadString("port", key, "").size(), IniFile::kMaxValueLength);
    }
    const std::string written = IniFile::WithValue(bytes, "port", "ComPort", "COM7");
    EXPECT_EQ(IniFile::FromBytes(written).Find("port", "ComPort"), "COM7") << "round " << round;
  }
}

// --- writing -----------------------------------------------------------------

struct WriteCase {
  const char* name;
  std::string before;
  std::string after;
};

class IniWrite : public testing::TestWithParam<WriteCase> {};

TEST_P(IniWrite, ChangesOnlyTheKey) {
  const WriteCase& c = GetParam();
  EXPECT_EQ(IniFile::WithValue(c.before, "port", "ComPort", "COM7"), c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IniWrite,
    testing::Values(
        WriteCase{"ReplacedInPlaceCrLf",
                  "; drvlarna\r\n[main]\r\nLog=1\r\n\r\n[port]\r\nComPort=COM1\r\nBaudRate=9600\r\n\r\n[ServerHost]\r\n"
                  "Port=12543\r\n",
                  "; drvlarna\r\n[main]\r\nLog=1\r\n\r\n[port]\r\nComPort=COM7\r\nBaudRate=9600\r\n\r\n[ServerHost]\r\n"
                  "Port=12543\r\n"},
        WriteCase{"KeySpellingAndBlanksKept", "[PORT]\ncomport = COM1  \nDTR=1\n", "[PORT]\ncomport = COM7\nDTR=1\n"},
        WriteCase{"EmptyValueFilled", "[port]\nComPort=\n", "[port]\nComPort=COM7\n"},
        WriteCase{"LastLineWithoutLineEnd", "[port]\r\nComPort=COM12", "[port]\r\nComPort=COM7"},
        WriteCase{"KeyAddedAfterLastKeyOfSection",
                  "[port]\r\nBaudRate=9600\r\n\r\n; server\r\n[main]\r\nLog=1\r\n",
                  "[port]\r\nBaudRate=9600\r\nComPort=COM7\r\n\r\n; server\r\n[main]\r\nLog=1\r\n"},
        WriteCase{"KeyAddedWithFileLineEnds", "[port]\nBaudRate=9600\n", "[port]\nBaudRate=9600\nComPort=COM7\n"},
        WriteCase{"KeyAddedAfterHeaderWithoutLineEnd", "[main]\nLog=1\n[port]", "[main]\nLog=1\n[port]\nComPort=COM7"},
        WriteCase{"CommentedKeyNotTouched", "[port]\n;ComPort=COM1\n", "[port]\nComPort=COM7\n;ComPort=COM1\n"},
        WriteCase{"FirstOfDuplicateSections", "[port]\nComPort=COM1\n[port]\nComPort=COM2\n",
                  "[port]\nComPort=COM7\n[port]\nComPort=COM2\n"},
        WriteCase{"SectionAdded", "[main]\r\nLog=1\r\n", "[main]\r\nLog=1\r\n[port]\r\nComPort=COM7\r\n"},
        WriteCase{"SectionAddedAfterMissingLineEnd", "[main]\nLog=1", "[main]\nLog=1\n[port]\nComPort=COM7\n"},
        WriteCase{"EmptyFile", "", "[port]\r\nComPort=COM7\r\n"}),
    [](const testing::TestParamInfo<WriteCase>& info) { return std::string(info.param.name); });

TEST(IniFile, RefusesWhatTheFileCannotHold) {
  EXPECT_THROW(IniFile::WithValue("", "port", "ComPort", "COM1\r\n[main]"), std::runtime_error);
  EXPECT_THROW(IniFile::WithValue("", "port", "Com=Port", "COM1"), std::runtime_error);
  EXPECT_THROW(IniFile::WithValue("", "po]rt", "ComPort", "COM1"), std::runtime_error);
  EXPECT_THROW(IniFile::WithValue("", "port", "", "COM1"), std::runtime_error);
}

class IniFileOnDisk : public testing::Test {
 protected:
  fs::path Ini() const { return dir_.path() / "drvlarna.ini"; }
  TempDir dir_;
};

TEST_F(IniFileOnDisk, WritesInPlaceAndLeavesNoTemporaryFile) {
  WriteBytes(Ini(), "[port]\r\nComPort=COM1\r\n[main]\r\nLog=0\r\n");
  fs::permissions(Ini(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  IniFile::WriteString(Ini().string(), "port", "ComPort", "COM2");
  EXPECT_EQ(ReadBytes(Ini()), "[port]\r\nComPort=COM2\r\n[main]\r\nLog=0\r\n");
  EXPECT_EQ(FolderEntries(dir_.path()), std::vector<std::string>{"drvlarna.ini"});
  EXPECT_EQ(fs::status(Ini()).permissions(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(IniFileOnDisk, CreatesMissingFile) {
  IniFile::WriteString(Ini().string(), "port", "ComPort", "COM2");
  EXPECT_EQ(ReadBytes(Ini()), "[port]\r\nComPort=COM2\r\n");
}

// Each row builds a chain of links to the file; the write goes to the file at its end and
// every link stays a link.
struct LinkCase {
  const char* name;
  std::vector<std::pair<const char*, const char*>> links;  // link name -> what it names
  const char* file;                                         // the file that is written
  bool file_exists;
};

class IniWriteThroughLinks : public IniFileOnDisk, public testing::WithParamInterface<LinkCase> {};

TEST_P(IniWriteThroughLinks, WritesTheFileAtTheEndOfTheChain) {
  const LinkCase& c = GetParam();
  fs::create_directory(dir_.path() / "etc");
  if (c.file_exists) WriteBytes(dir_.path() / c.file, "[port]\nComPort=COM1\n");
  for (const auto& [link, to] : c.links) {
    const std::string target = to[0] == '/' ? (dir_.path() / (to + 1)).string() : std::string(to);
    fs::create_symlink(target, dir_.path() / link);
  }
  IniFile::WriteString(Ini().string(), "port", "ComPort", "COM2");
  for (const auto& [link, to] : c.links) EXPECT_TRUE(fs::is_symlink(dir_.path() / link)) << link;
  EXPECT_EQ(ReadBytes(dir_.path() / c.file), c.file_exists ? "[port]\nComPort=COM2\n" : "[port]\r\nComPort=COM2\r\n");
}

// A target starting with '/' is taken inside the test folder and made absolute.
INSTANTIATE_TEST_SUITE_P(
    Links, IniWriteThroughLinks,
    testing::Values(LinkCase{"Absolute", {{"drvlarna.ini", "/real.ini"}}, "real.ini", true},
                    LinkCase{"Relative", {{"drvlarna.ini", "etc/real.ini"}}, "etc/real.ini", true},
                    // Relative to the folder of the link that holds it, not of the first one.
                    LinkCase{"Chain",
                             {{"drvlarna.ini", "etc/hop.ini"}, {"etc/hop.ini", "real.ini"}},
                             "etc/real.ini",
                             true},
                    LinkCase{"Dangling", {{"drvlarna.ini", "etc/new.ini"}}, "etc/new.ini", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(IniFileOnDisk, LinkLoopThrows) {
  fs::create_symlink("other.ini", Ini());
  fs::create_symlink("drvlarna.ini", dir_.path() / "other.ini");
  EXPECT_THROW(IniFile::WriteString(Ini().string(), "port", "ComPort", "COM2"), std::runtime_error);
  EXPECT_TRUE(fs::is_symlink(Ini()));
}

TEST_F(IniFileOnDisk, MissingFolderThrows) {
  EXPECT_THROW(IniFile::WriteString((dir_.path() / "no" / "drvlarna.ini").string(), "port", "ComPort", "COM2"),
               std::runtime_error);
}

// The safe write replaces the file by a new one (a new inode) that keeps the old owner and mode.
TEST_F(IniFileOnDisk, ReplacedFileKeepsOwnerAndMode) {
  WriteBytes(Ini(), "[port]\r\nComPort=COM1\r\n");
  ASSERT_EQ(::chmod(Ini().c_str(), 0640), 0);
  // Root can give the file away, as an installer would; anyone else keeps their own.
  const uid_t owner = ::geteuid() == 0 ? 4321 : ::geteuid();
  const gid_t group = ::geteuid() == 0 ? 4322 : ::getegid();
  ASSERT_EQ(::chown(Ini().c_str(), owner, group), 0);
  struct stat before {};
  ASSERT_EQ(::stat(Ini().c_str(), &before), 0);

  IniFile::WriteString(Ini().string(), "port", "ComPort", "COM2");

  struct stat after {};
  ASSERT_EQ(::stat(Ini().c_str(), &after), 0);
  EXPECT_EQ(ReadBytes(Ini()), "[port]\r\nComPort=COM2\r\n");
  EXPECT_NE(after.st_ino, before.st_ino) << "expected the temporary file renamed over the old one";
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_EQ(after.st_uid, owner);
  EXPECT_EQ(after.st_gid, group);
}

// Where a rename would do harm or cannot be done, the file is rewritten where it stands:
// same inode, same links, and nothing left beside it.
struct InPlaceCase {
  const char* name;
  std::string file;        // the INI's name in the test folder
  const char* hard_link;   // a second name of the same file, or nullptr
};

class IniWriteInPlace : public IniFileOnDisk, public testing::WithParamInterface<InPlaceCase> {};

TEST_P(IniWriteInPlace, KeepsTheInodeAndItsLinks) {
  const InPlaceCase& c = GetParam();
  const fs::path ini = dir_.path() / c.file;
  WriteBytes(ini, "[port]\r\nComPort=COM1\r\n[main]\r\nLog=0\r\n");
  if (c.hard_link != nullptr) fs::create_hard_link(ini, dir_.path() / c.hard_link);
  std::vector<std::string> names = FolderEntries(dir_.path());
  std::sort(names.begin(), names.end());
  struct stat before {};
  ASSERT_EQ(::stat(ini.c_str(), &before), 0);

  IniFile::WriteString(ini.string(), "port", "ComPort", "COM12");

  struct stat after {};
  ASSERT_EQ(::stat(ini.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_nlink, before.st_nlink);
  EXPECT_EQ(ReadBytes(ini), "[port]\r\nComPort=COM12\r\n[main]\r\nLog=0\r\n");
  if (c.hard_link != nullptr) {
    EXPECT_EQ(ReadBytes(dir_.path() / c.hard_link), ReadBytes(ini));
  }
  std::vector<std::string> names_after = FolderEntries(dir_.path());
  std::sort(names_after.begin(), names_after.end());
  EXPECT_EQ(names_after, names);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IniWriteInPlace,
    testing::Values(InPlaceCase{"HardLinked", "drvlarna.ini", "backup.ini"},
                    // No temporary name fits beside a name this long (250 of the 255 bytes a
                    // name may have): the folder refuses the temporary file as a read-only
                    // folder would, and for root as well.
                    InPlaceCase{"FolderRefusesTemporaryFile", std::string(246, 'x') + ".ini", nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

// Without root the folder's own permissions refuse the temporary file; a writable file in
// it is still written. (Root is not bound by them; the long name above covers root.)
TEST_F(IniFileOnDisk, WritableFileInReadOnlyFolderIsWritten) {
  WriteBytes(Ini(), "[port]\r\nComPort=COM1\r\n");
  fs::permissions(dir_.path(), fs::perms::owner_read | fs::perms::owner_exec);
  IniFile::WriteString(Ini().string(), "port", "ComPort", "COM2");
  fs::permissions(dir_.path(), fs::perms::owner_all);
  EXPECT_EQ(ReadBytes(Ini()), "[port]\r\nComPort=COM2\r\n");
  EXPECT_EQ(FolderEntries(dir_.path()), std::vector<std::string>{"drvlarna.ini"});
}

// A write that fails half-way (the disk fills up) must leave the old file whole.
TEST_F(IniFileOnDisk, FailedWriteKeepsFile) {
  const std::string before = "[port]\r\nComPort=COM1\r\n" + std::string(200, ';') + "\r\n";
  WriteBytes(Ini(), before);

  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit tiny = saved;
  tiny.rlim_cur = 16;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tiny), 0);
  bool threw = false;
  try {
    IniFile::WriteString(Ini().string(), "port", "ComPort", "COM2");
  } catch (const std::runtime_error&) {
    threw = true;
  }
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, old_handler);

  EXPECT_TRUE(threw);
  EXPECT_EQ(ReadBytes(Ini()), before);
  EXPECT_EQ(FolderEntries(dir_.path()), std::vector<std::string>{"drvlarna.ini"});
}

// The same in place: the longer content's room is taken before a byte is overwritten.
TEST_F(IniFileOnDisk, FailedInPlaceWriteKeepsFile) {
  const std::string before = "[port]\r\nComPort=COM1\r\n" + std::string(200, ';') + "\r\n";
  WriteBytes(Ini(), before);
  fs::create_hard_link(Ini(), dir_.path() / "backup.ini");

  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit tiny = saved;
  tiny.rlim_cur = before.size();
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tiny), 0);
  bool threw = false;
  try {
    IniFile::WriteString(Ini().string(), "port", "ComPort", "COM12");
  } catch (const std::runtime_error&) {
    threw = true;
  }
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, old_handler);

  EXPECT_TRUE(threw);
  EXPECT_EQ(ReadBytes(Ini()), before);
}

}  // namespace
}  // namespace drv

#include "base/settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/clock.h"

#include "support/temp_dir.h"

namespace drv {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

using test::TempDir;

void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

DateTime Seconds(int s) { return s * 1000.0 / kMsPerDay; }

void ExpectSameSettings(const Settings& actual, const Settings& expected) {
  EXPECT_EQ(actual.ComPort, expected.ComPort);
  EXPECT_EQ(actual.BaudRate, expected.BaudRate);
  EXPECT_EQ(actual.DataBits, expected.DataBits);
  EXPECT_EQ(actual.Parity, expected.Parity);
  EXPECT_EQ(actual.StopBits, expected.StopBits);
  EXPECT_EQ(actual.DTR, expected.DTR);
  EXPECT_EQ(actual.Reg, expected.Reg);
  EXPECT_EQ(actual.Log, expected.Log);
  EXPECT_EQ(actual.SendK8, expected.SendK8);
  EXPECT_EQ(actual.NotSendToDiskK8, expected.NotSendToDiskK8);
  EXPECT_EQ(actual.FirstNumber, expected.FirstNumber);
  EXPECT_EQ(actual.PathForSoob, expected.PathForSoob);
  EXPECT_DOUBLE_EQ(actual.Attention, expected.Attention);
  EXPECT_EQ(actual.Caption, expected.Caption);
  EXPECT_EQ(actual.LogMaxKB, expected.LogMaxKB);
  EXPECT_EQ(actual.LogFiles, expected.LogFiles);
  EXPECT_EQ(actual.MetricsFile, expected.MetricsFile);
  EXPECT_EQ(actual.ComMap, expected.ComMap);
}

class SettingsFile : public testing::Test {
 protected:
  std::string Ini() const { return (dir_.path() / kIniFileName).string(); }
  TempDir dir_;
};

// --- LoadSettings: each row is a file and how the settings differ from the defaults ---

struct LoadCase {
  const char* name;
  std::string ini;
  void (*change)(Settings&);
  std::vector<std::string> problems;
};

class LoadSettingsCase : public testing::TestWithParam<LoadCase> {
 protected:
  TempDir dir_;
};

TEST_P(LoadSettingsCase, ReadsFile) {
  const LoadCase& c = GetParam();
  const std::string path = (dir_.path() / kIniFileName).string();
  WriteBytes(path, c.ini);
  Settings expected;
  c.change(expected);
  std::vector<std::string> problems;
  ExpectSameSettings(LoadSettings(path, &problems), expected);
  EXPECT_EQ(problems, c.problems);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LoadSettingsCase,
    testing::Values(
        LoadCase{"EmptyFileGivesDefaults", "", [](Settings&) {}, {}},
        LoadCase{"AllKeys",
                 "[port]\r\nComPort=COM3\r\nBaudRate=19200\r\nDataBits=7\r\nParity=N\r\nStopBits=2\r\nDTR=1\r\n"
                 "[main]\r\nReg=101,205\r\nLog=0\r\nSendK8=0\r\nNotSendToDiskK8=1\r\nFirstNumber=12\r\n"
                 "PathForSoob=/var/spool/drv/\r\nAttention=00:05:00\r\nCaption=Post\r\n",
                 [](Settings& s) {
                   s.ComPort = "COM3";
                   s.BaudRate = "19200";
                   s.DataBits = "7";
                   s.StopBits = "2";
                   s.DTR = true;
                   s.Reg = ",101,205,";
                   s.Log = false;
                   s.SendK8 = false;
                   s.NotSendToDiskK8 = true;
                   s.FirstNumber = 12;
                   s.PathForSoob = "/var/spool/drv/";
                   s.Attention = Seconds(300);
                   s.Caption = "Post";
                 },
                 {}},
        LoadCase{"NamesIgnoreCase", "[MAIN]\nfirstnumber=7\n", [](Settings& s) { s.FirstNumber = 7; }, {}},
        LoadCase{"KeyInWrongSectionIgnored", "[main]\nComPort=COM3\n", [](Settings&) {}, {}},
        LoadCase{"LowerCaseCom255IsNotTheMarker", "[port]\nComPort=com255\n",
                 [](Settings& s) { s.ComPort = "com255"; }, {}},
        LoadCase{"SendK8WordFalseKeepsDefault", "[main]\nSendK8=false\n", [](Settings&) {}, {}},
        LoadCase{"SendK8ZeroDisablesLink", "[main]\nSendK8=0\n", [](Settings& s) { s.SendK8 = false; }, {}},
        LoadCase{"BooleanAnyNonZeroIsTrue", "[port]\nDTR=-2\n", [](Settings& s) { s.DTR = true; }, {}},
        LoadCase{"BooleanHexZeroIsFalse", "[main]\nLog=$0\n", [](Settings& s) { s.Log = false; }, {}},
        LoadCase{"FirstNumber0x20", "[main]\nFirstNumber=0x20\n", [](Settings& s) { s.FirstNumber = 32; }, {}},
        LoadCase{"FirstNumberDollar20", "[main]\nFirstNumber=$20\n", [](Settings& s) { s.FirstNumber = 32; }, {}},
        LoadCase{"FirstNumberLetterOKeepsDefault", "[main]\nFirstNumber=2O\n", [](Settings&) {}, {}},
        LoadCase{"FirstNumberNegative", "[main]\nFirstNumber=-5\n", [](Settings& s) { s.FirstNumber = -5; }, {}},
        LoadCase{"FirstNumberEmptyKeepsDefault", "[main]\nFirstNumber=\n", [](Settings&) {}, {}},
        // The line settings are mapped where the port is set up; here they are kept as written.
        LoadCase{"LineSettingsKeptAsWritten", "[port]\nBaudRate=19 200\nParity=E\nStopBits=1.5\n",
                 [](Settings& s) {
                   s.BaudRate = "19 200";
                   s.Parity = "E";
                   s.StopBits = "1.5";
                 },
                 {}},
        LoadCase{"RegGetsCommaOnEachSide", "[main]\nReg=101\n", [](Settings& s) { s.Reg = ",101,"; }, {}},
        LoadCase{"RegLeadingCommaKept", "[main]\nReg=,101\n", [](Settings& s) { s.Reg = ",101,"; }, {}},
        LoadCase{"RegSingleComma", "[main]\nReg=,\n", [](Settings& s) { s.Reg = ","; }, {}},
        LoadCase{"AttentionThirtySeconds", "[main]\nAttention=00:00:30\n",
                 [](Settings& s) { s.Attention = Seconds(30); }, {}},
        LoadCase{"AttentionHoursAndMinutes", "[main]\nAttention=1:05\n",
                 [](Settings& s) { s.Attention = Seconds(3900); }, {}},
        LoadCase{"AttentionInvalidKeepsDefault", "[main]\nAttention=abc\nCaption=Post\n",
                 [](Settings& s) { s.Caption = "Post"; },
                 {"Attention \"abc\" is not a time of day; using 00:10:00"}},
        LoadCase{"AttentionOutOfRange", "[main]\nAttention=24:00:00\n", [](Settings&) {},
                 {"Attention \"24:00:00\" is not a time of day; using 00:10:00"}},
        LoadCase{"AttentionProblemShowsPrintableText", "[main]\nAttention=\xCF\xEE\xF1\xF2\n", [](Settings&) {},
                 {"Attention \"????\" is not a time of day; using 00:10:00"}},
        LoadCase{"CaptionCp1251BytesKept", "[main]\r\nCaption=\xCF\xEE\xF1\xF2 2\r\n",
                 [](Settings& s) { s.Caption = "\xCF\xEE\xF1\xF2 2"; }, {}},
        LoadCase{"LogLimitsAndMetrics", "[main]\nLogMaxKB=64\nLogFiles=0\nMetricsFile=drvlarna.prom\n",
                 [](Settings& s) {
                   s.LogMaxKB = 64;
                   s.LogFiles = 0;
                   s.MetricsFile = "drvlarna.prom";
                 },
                 {}},
        LoadCase{"LogMaxKBNotANumberKeepsDefault", "[main]\nLogMaxKB=10M\n", [](Settings&) {}, {}},
        LoadCase{"LongValueCut", "[main]\nPathForSoob=" + std::string(3000, 'p') + "\n",
                 [](Settings& s) { s.PathForSoob = std::string(2047, 'p'); }, {}},
        LoadCase{"ComMapNamesUpperCased", "[ComMap]\ncom3=/dev/ttyUSB0\nCOM4 = /dev/ttyS1\ncom3=/dev/other\n",
                 [](Settings& s) { s.ComMap = {{"COM3", "/dev/ttyUSB0"}, {"COM4", "/dev/ttyS1"}}; }, {}},
        LoadCase{"GarbageGivesDefaults", "\x01\x02\xFF\0[\0]=\r\r\n===\n[[]]\n"s, [](Settings&) {}, {}}),
    [](const testing::TestParamInfo<LoadCase>& info) { return std::string(info.param.name); });

TEST_F(SettingsFile, MissingFileGivesDefaults) {
  std::vector<std::string> problems;
  const Settings s = LoadSettings(Ini(), &problems);
  ExpectSameSettings(s, Settings{});
  EXPECT_EQ(s.ComPort, "COM255");
  EXPECT_TRUE(s.Log);
  EXPECT_DOUBLE_EQ(s.Attention, 10.0 / 1440.0);
  EXPECT_EQ(s.LogMaxKB, 10240);
  EXPECT_EQ(s.LogFiles, 5);
  EXPECT_EQ(s.MetricsFile, "");
  EXPECT_TRUE(problems.empty());
  const ServerHostSettings host = LoadServerHost(Ini());
  EXPECT_EQ(host.Address, "127.0.0.1");
  EXPECT_EQ(host.Port, 12543);
}

TEST_F(SettingsFile, ProblemsMayBeIgnored) {
  WriteBytes(Ini(), "[main]\nAttention=abc\n");
  EXPECT_DOUBLE_EQ(LoadSettings(Ini()).Attention, 10.0 / 1440.0);
}

TEST_F(SettingsFile, ServerHostIsReadEachTime) {
  struct Row {
    std::string ini;
    std::string address;
    int32_t port;
  };
  const Row rows[] = {
      {"[ServerHost]\r\nAddress=10.0.0.5\r\nPort=12600\r\n", "10.0.0.5", 12600},
      {"[serverhost]\nADDRESS=server.local\nport=$3100\n", "server.local", 0x3100},
      {"[ServerHost]\nPort=abc\n", "127.0.0.1", 12543},
      {"[main]\nAddress=10.0.0.9\nPort=1\n", "127.0.0.1", 12543},
  };
  for (const Row& row : rows) {
    WriteBytes(Ini(), row.ini);
    const ServerHostSettings host = LoadServerHost(Ini());
    EXPECT_EQ(host.Address, row.address) << row.ini;
    EXPECT_EQ(host.Port, row.port) << row.ini;
  }
}

TEST_F(SettingsFile, SavedComPortReadsBackAndKeepsOtherKeys) {
  WriteBytes(Ini(), "[port]\r\nComPort=COM1\r\nBaudRate=19200\r\n[main]\r\nFirstNumber=5\r\n");
  SaveComPort(Ini(), "COM4");
  const Settings s = LoadSettings(Ini());
  EXPECT_EQ(s.ComPort, "COM4");
  EXPECT_EQ(s.BaudRate, "19200");
  EXPECT_EQ(s.FirstNumber, 5);
}

TEST_F(SettingsFile, SaveComPortFailureThrows) {
  EXPECT_THROW(SaveComPort((dir_.path() / "missing" / kIniFileName).string(), "COM4"), std::runtime_error);
}

// --- TextToIntOr ---------------------------------------------------------------

struct IntCase {
  std::string text;
  int32_t expected;
};

constexpr int32_t kFallback = -777;

class TextToIntCase : public testing::TestWithParam<IntCase> {};

TEST_P(TextToIntCase, Parses) {
  EXPECT_EQ(TextToIntOr(GetParam().text, kFallback), GetParam().expected) << "text: \"" << GetParam().text << "\"";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TextToIntCase,
    testing::Values(
        IntCase{"0", 0}, IntCase{"123", 123}, IntCase{"+123", 123}, IntCase{"-5", -5}, IntCase{"007", 7},
        IntCase{"   42", 42}, IntCase{"\t42", kFallback}, IntCase{" \t42", kFallback},
        IntCase{"0000000000000000000012", 12}, IntCase{"2147483647", INT32_MAX},
        IntCase{"-2147483648", INT32_MIN}, IntCase{"2147483648", kFallback}, IntCase{"-2147483649", kFallback},
        IntCase{"99999999999999999999", kFallback}, IntCase{"$20", 32}, IntCase{"x20", 32}, IntCase{"X20", 32},
        IntCase{"0x20", 32}, IntCase{"0X20", 32}, IntCase{"$ff", 255}, IntCase{"$FfFf", 65535},
        IntCase{"$7FFFFFFF", INT32_MAX}, IntCase{"$80000000", INT32_MIN}, IntCase{"$FFFFFFFF", -1},
        IntCase{"$000000000FF", 255}, IntCase{"$100000000", kFallback}, IntCase{"-$10", -16},
        IntCase{"-0x10", -16}, IntCase{"", kFallback}, IntCase{"   ", kFallback}, IntCase{"-", kFallback},
        IntCase{"+", kFallback}, IntCase{"$", kFallback}, IntCase{"0x", kFallback}, IntCase{"2O", kFallback},
        IntCase{"12 ", kFallback}, IntCase{"1 2", kFallback}, IntCase{"1.5", kFallback},
        IntCase{"false", kFallback}, IntCase{"true", kFallback}, IntCase{"$G1", kFallback},
        IntCase{"0x0x1", kFallback}, IntCase{"+-1", kFallback}, IntCase{"--1", kFallback},
        IntCase{"12abc", kFallback}, IntCase{"1\0"s, kFallback}, IntCase{"\xB9", kFallback}));

// --- ParseTimeOfDay -------------------------------------------------------------

struct TimeCase {
  const char* text;
  bool ok;
  int64_t ms;
};

class TimeOfDayCase : public testing::TestWithParam<TimeCase> {};

TEST_P(TimeOfDayCase, Parses) {
  const TimeCase& c = GetParam();
  DateTime span = -1.0;
  ASSERT_EQ(ParseTimeOfDay(c.text, span), c.ok) << c.text;
  if (c.ok) {
    EXPECT_DOUBLE_EQ(span, static_cast<double>(c.ms) / kMsPerDay) << c.text;
  } else {
    EXPECT_EQ(span, -1.0) << "a failed parse must leave the span alone";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TimeOfDayCase,
    testing::Values(TimeCase{"00:10:00", true, 600000}, TimeCase{"0:00:30", true, 30000},
                    TimeCase{"1:05", true, 3900000}, TimeCase{"01:05", true, 3900000},
                    TimeCase{"23:59:59", true, 86399000}, TimeCase{"0:0:1", true, 1000},
                    TimeCase{"00:00:30.250", true, 30250}, TimeCase{"00:00:30.5", true, 30500},
                    TimeCase{"00:00:00", true, 0}, TimeCase{"24:00", false, 0}, TimeCase{"12:60", false, 0},
                    TimeCase{"12:00:60", false, 0}, TimeCase{"abc", false, 0}, TimeCase{"", false, 0},
                    TimeCase{"12", false, 0}, TimeCase{"12:", false, 0}, TimeCase{":30", false, 0},
                    TimeCase{"12:30:", false, 0}, TimeCase{"-1:00", false, 0}, TimeCase{"123:00", false, 0},
                    TimeCase{"12:30:00.", false, 0}, TimeCase{"12:30:00.1234", false, 0},
                    TimeCase{"12:30.5", false, 0}, TimeCase{"12.30", false, 0}, TimeCase{"12:30 ", false, 0},
                    TimeCase{"1:2:3:4", false, 0}));

TEST(TimeOfDay, DefaultAttentionIsTenMinutesOfADay) {
  DateTime span = 0;
  ASSERT_TRUE(ParseTimeOfDay("00:10:00", span));
  EXPECT_EQ(span, 10.0 / 1440.0);
}

// --- NormaliseReg ---------------------------------------------------------------

TEST(NormaliseReg, CommaAtBothEnds) {
  const std::pair<std::string, std::string> rows[] = {
      {"", ""}, {",", ","}, {"101", ",101,"}, {",101", ",101,"}, {"101,", ",101,"}, {"101,205", ",101,205,"},
      {",101,205,", ",101,205,"}, {",,", ",,"}};
  for (const auto& [in, out] : rows) EXPECT_EQ(NormaliseReg(in), out) << in;
}

}  // namespace
}  // namespace drv

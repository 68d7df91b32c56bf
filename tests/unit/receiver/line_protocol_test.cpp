#include "receiver/line_protocol.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/fake_clock.h"
#include "support/fakes.h"

namespace drv {
namespace {

const std::string kSample = "R A8001234567\r\n";

class LineProtocolTest : public ::testing::Test {
 protected:
  LineProtocolTest() { settings.Log = false; }

  LineProtocol& Protocol() {
    if (!protocol) {
      protocol = std::make_unique<LineProtocol>(
          clock, settings, reporter, dir.Path("drvlarna.log"),
          [this](const TEventRecord& r) { handed.push_back(r); }, [this] { ++indicator_changes; });
    }
    return *protocol;
  }
  void Feed(const std::string& bytes) {
    Protocol().SerialPortDriver1ReceivePacket(reinterpret_cast<const uint8_t*>(bytes.data()),
                                              static_cast<uint32_t>(bytes.size()));
  }
  std::string LogText() const {
    const auto bytes = test::ReadBytes(dir.Path("drvlarna.log"));
    return {bytes.begin(), bytes.end()};
  }

  test::FakeClock clock;
  Settings settings;
  test::TempDir dir;
  test::RecordingReporter reporter;
  std::vector<TEventRecord> handed;
  int indicator_changes = 0;
  std::unique_ptr<LineProtocol> protocol;
};

TEST_F(LineProtocolTest, SampleLineGivesTheRecord) {
  Feed(kSample);
  ASSERT_EQ(handed.size(), 1u);
  const TEventRecord& r = handed[0];
  EXPECT_EQ(r.ObjectNumber, 322345);
  EXPECT_EQ(r.EventCodeLength, 2);
  EXPECT_EQ(r.EventCode, (std::array<uint8_t, 4>{'6', '7', 0, 0}));
  EXPECT_EQ(r.Pos4Value, 8);
  EXPECT_EQ(r.Pos56Value, 0);
  EXPECT_EQ(r.RecordMark, 0x27);
  EXPECT_DOUBLE_EQ(r.TimeStamp, clock.Now());
  EXPECT_EQ(Protocol().StationTick(), 1);
  EXPECT_EQ(indicator_changes, 1);
  EXPECT_EQ(Protocol().LineIndex(), 1);
}

TEST_F(LineProtocolTest, TestButtonFeedsTheSampleLine) {
  EXPECT_EQ(std::string(LineProtocol::kTestLine.begin(), LineProtocol::kTestLine.end()), kSample);
  Protocol().InjectTestLine();
  ASSERT_EQ(handed.size(), 1u);
  EXPECT_EQ(handed[0].ObjectNumber, 322345);
}

TEST_F(LineProtocolTest, LineSplitAtAnyPointGivesOneRecord) {
  Feed(kSample);
  const auto whole = handed.at(0).Bytes();
  for (std::size_t split = 1; split < kSample.size(); ++split) {
    SCOPED_TRACE("split after byte " + std::to_string(split));
    handed.clear();
    protocol.reset();
    Feed(kSample.substr(0, split));
    EXPECT_TRUE(handed.empty());
    Feed(kSample.substr(split));
    ASSERT_EQ(handed.size(), 1u);
    EXPECT_EQ(handed[0].Bytes(), whole);
  }
}

TEST_F(LineProtocolTest, TwoLinesInOnePacketInOrder) {
  Feed(kSample + "R A8009876512\r\n");
  ASSERT_EQ(handed.size(), 2u);
  EXPECT_EQ(handed[0].ObjectNumber, 322345);
  EXPECT_EQ(handed[1].ObjectNumber, 408765);
  EXPECT_EQ(handed[1].EventCode[0], '1');
  EXPECT_EQ(Protocol().StationTick(), 2);
}

struct AcceptCase {
  const char* name;
  std::string line;
  std::string reg;  // normalised
  bool handed_off;
  bool recognised;  // the indicator advances
};

class LineAcceptance : public LineProtocolTest, public ::testing::WithParamInterface<AcceptCase> {};

TEST_P(LineAcceptance, HandsOffOnlyAcceptedLines) {
  const AcceptCase& c = GetParam();
  settings.Reg = c.reg;
  Feed(c.line);
  EXPECT_EQ(handed.size(), c.handed_off ? 1u : 0u);
  EXPECT_EQ(indicator_changes, c.recognised ? 1 : 0);
  EXPECT_EQ(Protocol().StationTick(), c.recognised ? 1 : 0);
  const bool ended = c.line.back() == '\n';
  EXPECT_EQ(Protocol().LineIndex(), ended ? 1 : static_cast<int32_t>(c.line.size()) + 1);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, LineAcceptance,
    ::testing::Values(AcceptCase{"Sample", kSample, "", true, true},
                      AcceptCase{"FourteenBytes", "R A8001234567\n", "", false, false},
                      AcceptCase{"SixteenBytes", "R A80012345677\r\n", "", false, false},
                      AcceptCase{"LowerCaseR", "r A8001234567\r\n", "", false, false},
                      AcceptCase{"LetterInAccount", "R A80012a4567\r\n", "", false, true},
                      AcceptCase{"BlankInAccount", "R A8001234 67\r\n", "", false, true},
                      AcceptCase{"RegPasses12345", kSample, ",123,456,", true, true},
                      AcceptCase{"RegPasses45699", "R A8004569967\r\n", ",123,456,", true, true},
                      AcceptCase{"RegStops12456", "R A8001245667\r\n", ",123,456,", false, true},
                      AcceptCase{"RegSingleComma", kSample, ",", false, true},
                      AcceptCase{"BlankEventCode", "R A80012345  \r\n", "", false, true},
                      AcceptCase{"ControlCharsEventCode", "R A80012345\t\x01\r\n", "", false, true},
                      AcceptCase{"OneVisibleEventChar", "R A80012345 7\r\n", "", true, true},
                      AcceptCase{"NoLineFeed", "R A8001234567\r", "", false, false}),
    [](const auto& info) { return std::string(info.param.name); });

struct FieldCase {
  const char* name;
  std::string line;
  int32_t first_number;
  int32_t object_number;
  uint8_t pos4;
  uint8_t pos56;
};

class RecordFields : public LineProtocolTest, public ::testing::WithParamInterface<FieldCase> {};

TEST_P(RecordFields, AreReadFromTheLine) {
  const FieldCase& c = GetParam();
  settings.FirstNumber = c.first_number;
  Feed(c.line);
  ASSERT_EQ(handed.size(), 1u);
  EXPECT_EQ(handed[0].ObjectNumber, c.object_number);
  EXPECT_EQ(handed[0].Pos4Value, c.pos4);
  EXPECT_EQ(handed[0].Pos56Value, c.pos56);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, RecordFields,
    ::testing::Values(FieldCase{"AccountZeros", "R A8000000067\r\n", 31, 310000, 8, 0},
                      FieldCase{"FirstNumberZero", "R A8001234567\r\n", 0, 12345, 8, 0},
                      FieldCase{"FirstNumberWraps", "R A8001234567\r\n", 300000, -1294954951, 8, 0},
                      FieldCase{"Pos56BlankSeven", "R A8 71234567\r\n", 31, 322345, 8, 7},
                      FieldCase{"Pos56SevenBlank", "R A87 1234567\r\n", 31, 322345, 8, 0},
                      FieldCase{"Pos56Letters", "R A8AB1234567\r\n", 31, 322345, 8, 0},
                      FieldCase{"Pos56LeadingZero", "R A8091234567\r\n", 31, 322345, 8, 9},
                      FieldCase{"Pos56Negative", "R A8-51234567\r\n", 31, 322345, 8, 251},
                      FieldCase{"Pos56Hex", "R A8$F1234567\r\n", 31, 322345, 8, 15},
                      FieldCase{"Pos56Plus", "R A8+71234567\r\n", 31, 322345, 8, 7},
                      FieldCase{"Pos56TwoSpaces", "R A8  1234567\r\n", 31, 322345, 8, 0},
                      FieldCase{"Pos56SignOnly", "R A8- 1234567\r\n", 31, 322345, 8, 0},
                      FieldCase{"Pos56HexPrefixOnly", "R A80x1234567\r\n", 31, 322345, 8, 0},
                      // Only spaces lead a number; a tab is a character that spoils it.
                      FieldCase{"Pos56TabSeven", "R A8\t71234567\r\n", 31, 322345, 8, 0},
                      FieldCase{"Pos56SevenTab", "R A87\t1234567\r\n", 31, 322345, 8, 0},
                      FieldCase{"Pos4Tab", "R A\t001234567\r\n", 31, 322345, 0, 0},
                      FieldCase{"Pos4Space", "R A 001234567\r\n", 31, 322345, 0, 0},
                      FieldCase{"Pos4Minus", "R A-001234567\r\n", 31, 322345, 0, 0},
                      FieldCase{"Pos4Letter", "R AA001234567\r\n", 31, 322345, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LineProtocolTest, FailedAccountKeepsThePreviousFields) {
  Feed(kSample);
  const TEventRecord before = Protocol().Record();
  clock.Advance(1000);
  Feed("R B9102a45999\r\n");
  const TEventRecord& after = Protocol().Record();
  EXPECT_EQ(after.EventCodeLength, 0);
  EXPECT_EQ(after.ObjectNumber, before.ObjectNumber);
  EXPECT_EQ(after.EventCode, before.EventCode);
  EXPECT_DOUBLE_EQ(after.TimeStamp, before.TimeStamp);
  EXPECT_EQ(handed.size(), 1u);
}

TEST_F(LineProtocolTest, StationTickRunsUpToSixteenThenZero) {
  for (int i = 1; i <= 18; ++i) {
    Feed(kSample);
    EXPECT_EQ(Protocol().StationTick(), i % 17);
  }
  EXPECT_EQ(indicator_changes, 18);
}

TEST_F(LineProtocolTest, StartsWithStampsOneDayBack) {
  // The fake monotonic clock starts below one day: the stamp must go negative, not wrap.
  EXPECT_DOUBLE_EQ(Protocol().LastReceiveTime(), clock.Now() - 1.0);
  EXPECT_EQ(Protocol().LastReceiveMonotonicMs(), static_cast<int64_t>(clock.MonotonicMs()) - 86400000);
  EXPECT_LT(Protocol().LastReceiveMonotonicMs(), 0);
}

TEST_F(LineProtocolTest, AnyPacketAndEachLineFeedStampTheReceiveTime) {
  Feed("xyz");
  EXPECT_DOUBLE_EQ(Protocol().LastReceiveTime(), clock.Now());
  EXPECT_EQ(Protocol().LastReceiveMonotonicMs(), static_cast<int64_t>(clock.MonotonicMs()));
  EXPECT_EQ(Protocol().LineIndex(), 4);

  Feed("\nR A80012345");
  clock.Advance(1500);
  Feed("67\r\n");
  ASSERT_EQ(handed.size(), 1u);
  EXPECT_DOUBLE_EQ(handed[0].TimeStamp, clock.Now());
  EXPECT_DOUBLE_EQ(Protocol().LastReceiveTime(), clock.Now());
}

TEST_F(LineProtocolTest, LongLineIsDroppedAndTheNextLineStartsAtOne) {
  Feed(std::string(1000, 'R'));
  EXPECT_LE(Protocol().LineIndex(), LineProtocol::kLineBufferSize + 1);
  Feed("\n" + kSample);
  ASSERT_EQ(handed.size(), 1u);
  EXPECT_EQ(handed[0].ObjectNumber, 322345);
  EXPECT_EQ(indicator_changes, 1);
}

TEST_F(LineProtocolTest, HexLogLinePerPacketAppended) {
  settings.Log = true;
  Feed(kSample);
  clock.Advance(2000);
  Feed("\x01\xFF");
  EXPECT_EQ(LogText(),
            "05.12.2026 14:03:07 - 52 20 41 38 30 30 31 32 33 34 35 36 37 0D 0A \r\n"
            "05.12.2026 14:03:09 - 01 FF \r\n");
}

TEST_F(LineProtocolTest, LogOffTouchesNoFile) {
  Feed(kSample);
  EXPECT_EQ(handed.size(), 1u);
  EXPECT_TRUE(dir.Names().empty());
}

TEST_F(LineProtocolTest, UnwritableLogIsReportedAndEventsStillGo) {
  settings.Log = true;
  protocol = std::make_unique<LineProtocol>(clock, settings, reporter, dir.Path("missing/drvlarna.log"),
                                            [this](const TEventRecord& r) { handed.push_back(r); });
  Feed("R A80012");
  Feed("34567\r\n");
  EXPECT_EQ(handed.size(), 1u);
  EXPECT_EQ(reporter.exceptions.size(), 2u);
}

// Every packet logged, the log kept to LogMaxKB in LogFiles older files; a rotation that
// cannot happen costs neither a log line nor an event.
TEST_F(LineProtocolTest, HexLogRotatesAndAFailedRotationCostsNoEvent) {
  settings.Log = true;
  settings.LogMaxKB = 1;
  settings.LogFiles = 1;
  Feed(kSample);
  const std::size_t line_size = LogText().size();
  const int kLines = 40;  // about 2.8 KB of log
  for (int i = 1; i < kLines; ++i) Feed(kSample);
  const auto rotated = test::ReadBytes(dir.Path("drvlarna.log.1"));
  EXPECT_LE(rotated.size(), 1024u);
  EXPECT_GT(rotated.size(), 1024u - line_size);
  EXPECT_LE(LogText().size(), 1024u);
  EXPECT_FALSE(std::filesystem::exists(dir.Path("drvlarna.log.2")));
  EXPECT_TRUE(reporter.exceptions.empty());

  // A folder with something in it where the older file goes: no rotation, as root too.
  std::filesystem::remove(dir.Path("drvlarna.log.1"));
  std::filesystem::create_directories(dir.Path("drvlarna.log.1/inside"));
  const std::size_t before = LogText().size();
  for (int i = 0; i < kLines; ++i) Feed(kSample);
  EXPECT_EQ(handed.size(), 2u * kLines);
  EXPECT_EQ(Protocol().LinesReceived(), 2u * kLines);
  EXPECT_EQ(LogText().size(), before + kLines * line_size) << "the file grows on while it cannot rotate";
  EXPECT_EQ(reporter.exceptions.size(), 1u);
}

TEST_F(LineProtocolTest, LinesReceivedCountsEveryEventLineAcceptedOrNot) {
  settings.Reg = ",999,";
  Feed(kSample);                 // filtered out
  Feed("R A80012a4567\r\n");     // bad account
  Feed("R A8001234567\n");      // 14 bytes: no event line
  Feed("garbage\n");
  EXPECT_TRUE(handed.empty());
  EXPECT_EQ(Protocol().LinesReceived(), 2u);
}

}  // namespace
}  // namespace drv

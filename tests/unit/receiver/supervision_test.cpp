#include "receiver/supervision.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "wire/message_types.h"
#include "support/fake_clock.h"
#include "support/fakes.h"

namespace drv {
namespace {

constexpr uint64_t kMinute = 60000;
constexpr uint64_t kTick = 200;

class SupervisionTest : public ::testing::Test {
 protected:
  SupervisionTest() { settings.Log = false; }

  // Runs the 200 ms ticks that fit into `ms`.
  void RunTicks(uint64_t ms) {
    for (uint64_t t = 0; t < ms; t += kTick) {
      clock.Advance(kTick);
      supervision.Step();
    }
  }
  void Data() { line.SerialPortDriver1ReceivePacket(reinterpret_cast<const uint8_t*>("x"), 1); }
  std::vector<uint8_t> LinkLostFlags() const {
    std::vector<uint8_t> flags;
    for (const auto& m : sent) flags.push_back(m.payload.at(10));
    return flags;
  }

  test::FakeClock clock;
  Settings settings;
  test::RecordingReporter reporter;
  LineProtocol line{clock, settings, reporter};
  std::vector<test::FakeServerLink::Message> sent;
  std::vector<int32_t> error_codes;
  int indicator_changes = 0;
  StationSupervision supervision{
      clock,
      settings,
      line,
      reporter,
      [this](uint32_t type, std::span<const uint8_t> payload) {
        sent.push_back({type, {payload.begin(), payload.end()}});
      },
      [this] { ++indicator_changes; },
      [this](int32_t code) { error_codes.push_back(code); }};
};

TEST(LinkStateRecordTest, BytesAreLaidOutFieldByField) {
  TLinkStateRecord record;
  record.FirstNumberByte = 0x2C;
  record.TimeStamp = 1.5;
  record.LinkLost = 1;
  const std::array<uint8_t, 11> expected = {0x1F, 0x2C, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F, 0x01};
  EXPECT_EQ(record.Bytes(), expected);
  const TLinkStateRecord back = TLinkStateRecord::FromBytes(expected);
  EXPECT_EQ(back.Bytes(), expected);
}

TEST_F(SupervisionTest, StartUpReportsTheLossOnceAtTheFirstTick) {
  supervision.Step();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].type, mtLinkState);
  ASSERT_EQ(sent[0].payload.size(), TLinkStateRecord::kSize);
  EXPECT_EQ(sent[0].payload[0], 0x1F);
  EXPECT_EQ(sent[0].payload[1], 0x1F);  // FirstNumber 31
  EXPECT_DOUBLE_EQ(GetDouble(&sent[0].payload[2]), clock.Now());
  EXPECT_EQ(sent[0].payload[10], 1);
  EXPECT_FALSE(supervision.StationLinkOk());
  EXPECT_EQ(indicator_changes, 1);

  RunTicks(5 * kMinute);
  EXPECT_EQ(sent.size(), 1u);
}

TEST_F(SupervisionTest, DataRestoresTheLinkAtTheNextTick) {
  supervision.Step();
  Data();
  RunTicks(kTick);
  EXPECT_EQ(LinkLostFlags(), (std::vector<uint8_t>{1, 0}));
  EXPECT_TRUE(supervision.StationLinkOk());
  EXPECT_EQ(indicator_changes, 2);
}

TEST_F(SupervisionTest, DataEveryNineMinutesNeverChangesTheState) {
  Data();
  for (int i = 0; i < 4; ++i) {
    RunTicks(9 * kMinute);
    Data();
  }
  EXPECT_TRUE(sent.empty());
  EXPECT_TRUE(supervision.StationLinkOk());
}

TEST_F(SupervisionTest, GapPastAttentionGivesOneLossThenOneReturn) {
  Data();
  RunTicks(10 * kMinute + kTick);
  EXPECT_EQ(LinkLostFlags(), (std::vector<uint8_t>{1}));
  RunTicks(kMinute);
  Data();
  RunTicks(kTick);
  EXPECT_EQ(LinkLostFlags(), (std::vector<uint8_t>{1, 0}));
}

struct GapCase {
  const char* name;
  DateTime attention;
  int64_t gap_minus_attention_ms;
  bool lost;
};

class SupervisionGap : public SupervisionTest, public ::testing::WithParamInterface<GapCase> {};

TEST_P(SupervisionGap, ExactlyAttentionCountsAsWithin) {
  const GapCase& c = GetParam();
  settings.Attention = c.attention;
  Data();
  clock.Advance(static_cast<uint64_t>(std::llround(c.attention * kMsPerDay) + c.gap_minus_attention_ms));
  supervision.Step();
  EXPECT_EQ(supervision.StationLinkOk(), !c.lost);
  EXPECT_EQ(sent.size(), c.lost ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Gaps, SupervisionGap,
                         ::testing::Values(GapCase{"TenMinutesLess1ms", 10.0 / 1440, -1, false},
                                           GapCase{"TenMinutesExactly", 10.0 / 1440, 0, false},
                                           GapCase{"TenMinutesPlus1ms", 10.0 / 1440, 1, true},
                                           GapCase{"TenMinutesPlus200ms", 10.0 / 1440, 200, true},
                                           GapCase{"SevenSecondsExactly", 7.0 / 86400, 0, false},
                                           GapCase{"SevenSecondsPlus1ms", 7.0 / 86400, 1, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SupervisionTest, RecordCarriesLowByteOfFirstNumber) {
  settings.FirstNumber = 300;
  supervision.Step();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].payload[1], 0x2C);
}

TEST_F(SupervisionTest, SettingTheWallClockNeitherFakesNorHidesALoss) {
  Data();
  supervision.Step();
  clock.SetWallTime(clock.Now() + 1.0);
  supervision.Step();
  clock.SetWallTime(clock.Now() - 2.0);
  supervision.Step();
  EXPECT_TRUE(sent.empty());

  // Wall time now lies a day before the last data; the real silence still counts.
  RunTicks(10 * kMinute + kTick);
  ASSERT_EQ(LinkLostFlags(), (std::vector<uint8_t>{1}));
  EXPECT_DOUBLE_EQ(GetDouble(&sent[0].payload[2]), clock.Now());
}

struct ElapsedCase {
  const char* name;
  uint64_t gap_ms;
  const char* text;
};

class SupervisionElapsed : public SupervisionTest, public ::testing::WithParamInterface<ElapsedCase> {};

TEST_P(SupervisionElapsed, ShowsTimeSinceLastData) {
  EXPECT_STREQ(supervision.ElapsedText().c_str(), StationSupervision::kInitialElapsedText);
  Data();
  clock.Advance(GetParam().gap_ms);
  supervision.Step();
  EXPECT_EQ(supervision.ElapsedText(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Gaps, SupervisionElapsed,
                         ::testing::Values(ElapsedCase{"Nothing", 0, "00:00:00"},
                                           ElapsedCase{"FiveSeconds", 5000, "00:00:05"},
                                           ElapsedCase{"JustUnderSixSeconds", 5999, "00:00:05"},
                                           ElapsedCase{"OneDayFiveSeconds", 86405000, "00:00:05"},
                                           ElapsedCase{"HoursMinutesSeconds", 3723000, "01:02:03"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SupervisionTest, ElapsedIgnoresTheWallClock) {
  Data();
  clock.Advance(5000);
  clock.SetWallTime(clock.Now() - 0.5);
  supervision.Step();
  EXPECT_EQ(supervision.ElapsedText(), "00:00:05");
}

TEST_F(SupervisionTest, FailedReportWritesCodeNineAndIsNotRepeated) {
  int calls = 0;
  StationSupervision failing(
      clock, settings, line, reporter,
      [&calls](uint32_t, std::span<const uint8_t>) {
        ++calls;
        throw std::runtime_error("disk gone");
      },
      {}, [this](int32_t code) { error_codes.push_back(code); });
  failing.Step();
  failing.Step();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(error_codes, (std::vector<int32_t>{9}));
  EXPECT_FALSE(failing.StationLinkOk());
  EXPECT_TRUE(reporter.exceptions.empty());
}

TEST_F(SupervisionTest, FailedErrorListGoesToTheReporter) {
  StationSupervision failing(
      clock, settings, line, reporter,
      [](uint32_t, std::span<const uint8_t>) { throw std::runtime_error("disk gone"); }, {},
      [](int32_t) { throw std::runtime_error("error.txt locked"); });
  failing.Step();
  ASSERT_EQ(reporter.exceptions.size(), 1u);
  EXPECT_NE(reporter.exceptions[0].find("disk gone"), std::string::npos);
  EXPECT_NE(reporter.exceptions[0].find("error.txt locked"), std::string::npos);
}

}  // namespace
}  // namespace drv

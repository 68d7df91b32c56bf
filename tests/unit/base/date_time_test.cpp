#include "base/date_time.h"

#include <gtest/gtest.h>

namespace drv {
namespace {

TEST(DateTime, EpochAndKnownDays) {
  EXPECT_DOUBLE_EQ(MakeDateTime({1899, 12, 30, 0, 0, 0, 0}), 0.0);
  EXPECT_DOUBLE_EQ(MakeDateTime({1900, 1, 1, 12, 0, 0, 0}), 2.5);
  EXPECT_DOUBLE_EQ(MakeDateTime({2000, 1, 1, 0, 0, 0, 0}), 36526.0);
}

TEST(DateTime, SplitRoundTripsToTheMillisecond) {
  const CivilTime in{2026, 12, 5, 14, 3, 7, 250};
  const CivilTime out = SplitDateTime(MakeDateTime(in));
  EXPECT_EQ(out.year, 2026);
  EXPECT_EQ(out.month, 12);
  EXPECT_EQ(out.day, 5);
  EXPECT_EQ(out.hour, 14);
  EXPECT_EQ(out.minute, 3);
  EXPECT_EQ(out.second, 7);
  EXPECT_EQ(out.millisecond, 250);
}

TEST(DateTime, Formats) {
  const DateTime t = MakeDateTime({2026, 3, 9, 7, 5, 4, 999});
  EXPECT_EQ(FormatDateAndTime(t), "09.03.2026 07:05:04");
  EXPECT_EQ(FormatDateTimeShort(MakeDateTime({2026, 3, 9, 0, 0, 0, 0})), "09.03.2026");
  // Whole days are dropped from a span.
  EXPECT_EQ(FormatTime(1.0 + 5 * kOneSecond), "00:00:05");
}

}  // namespace
}  // namespace drv

#include "base/date_time.h"

#include <chrono>
#include <cmath>
#include <cstdio>

namespace drv {
namespace {

using std::chrono::days;
using std::chrono::sys_days;
using std::chrono::year_month_day;

constexpr sys_days kEpoch = sys_days{std::chrono::year{1899} / 12 / 30};

// Splits into whole days and milliseconds of the day, rounding to the millisecond.
void SplitMs(DateTime value, int64_t& day_count, int64_t& ms_of_day) {
  const auto total = static_cast<int64_t>(std::llround(value * kMsPerDay));
  day_count = total / kMsPerDayInt;
  ms_of_day = total % kMsPerDayInt;
  if (ms_of_day < 0) {
    ms_of_day += kMsPerDayInt;
    --day_count;
  }
}

}  // namespace

CivilTime SplitDateTime(DateTime value) {
  int64_t day_count = 0;
  int64_t ms = 0;
  SplitMs(value, day_count, ms);
  const year_month_day ymd{kEpoch + days{day_count}};
  CivilTime t;
  t.year = static_cast<int>(ymd.year());
  t.month = static_cast<int>(static_cast<unsigned>(ymd.month()));
  t.day = static_cast<int>(static_cast<unsigned>(ymd.day()));
  t.hour = static_cast<int>(ms / 3600000);
  t.minute = static_cast<int>(ms / 60000 % 60);
  t.second = static_cast<int>(ms / 1000 % 60);
  t.millisecond = static_cast<int>(ms % 1000);
  return t;
}

DateTime MakeDateTime(const CivilTime& t) {
  const sys_days date{std::chrono::year{t.year} / t.month / t.day};
  const auto day_count = (date - kEpoch).count();
  const int64_t ms = ((int64_t{t.hour} * 60 + t.minute) * 60 + t.second) * 1000 + t.millisecond;
  return static_cast<double>(day_count) + static_cast<double>(ms) / kMsPerDay;
}

std::string FormatDate(DateTime value) {
  const CivilTime t = SplitDateTime(value);
  char text[32];
  std::snprintf(text, sizeof text, "%02d.%02d.%04d", t.day, t.month, t.year);
  return text;
}

std::string FormatTime(DateTime value) {
  const CivilTime t = SplitDateTime(value);
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", t.hour, t.minute, t.second);
  return text;
}

std::string FormatDateAndTime(DateTime value) { return FormatDate(value) + " " + FormatTime(value); }

std::string FormatDateTimeShort(DateTime value) {
  const CivilTime t = SplitDateTime(value);
  if (t.hour == 0 && t.minute == 0 && t.second == 0) return FormatDate(value);
  return FormatDateAndTime(value);
}

}  // namespace drv

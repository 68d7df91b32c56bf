#pragma once

#include <cstdint>
#include <string>

#include "base/clock.h"

namespace drv {

struct CivilTime {
  int year = 1899;
  int month = 12;
  int day = 30;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

// Both directions round to the nearest millisecond, so a value written and split again
// gives back the same fields.
CivilTime SplitDateTime(DateTime value);
DateTime MakeDateTime(const CivilTime& time);

// The driver's short date format, dd.MM.yyyy.
std::string FormatDate(DateTime value);
// The driver's long time format, hh:mm:ss; whole days are dropped.
std::string FormatTime(DateTime value);
// Date, a blank and time: the prefix of operator log lines and hex log lines.
std::string FormatDateAndTime(DateTime value);
// As FormatDateAndTime, but the blank and the time are left out at exactly midnight.
std::string FormatDateTimeShort(DateTime value);

}  // namespace drv

#include "platform/real_clock.h"

#include <ctime>

#include "base/date_time.h"

namespace drv {

DateTime RealClock::Now() const {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  CivilTime t;
  t.year = local.tm_year + 1900;
  t.month = local.tm_mon + 1;
  t.day = local.tm_mday;
  t.hour = local.tm_hour;
  t.minute = local.tm_min;
  t.second = local.tm_sec;
  t.millisecond = static_cast<int>(now.tv_nsec / 1000000);
  return MakeDateTime(t);
}

uint32_t RealClock::TickMs() const { return static_cast<uint32_t>(MonotonicMs()); }

uint64_t RealClock::MonotonicMs() const {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

}  // namespace drv

#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace drv {

// Local date and time as days since 1899-12-30; the fraction is the time of day.
// This is the form stored in records and spool files.
using DateTime = double;

inline constexpr double kMsPerDay = 86400000.0;
// The same as a whole number, for arithmetic on millisecond counts.
inline constexpr int64_t kMsPerDayInt = 86400000;
inline constexpr DateTime kOneSecond = 1.0 / 86400.0;

// The one source of time for the core. The host passes the real clock; tests move a fake one.
// Implementations must be safe to call from the link thread and the main thread at once.
class Clock {
 public:
  virtual ~Clock() = default;
  // Local wall time; may jump when the operator or a time sync sets the clock.
  virtual DateTime Now() const = 0;
  // The 32-bit millisecond tick; elapsed times are taken by unsigned subtraction.
  virtual uint32_t TickMs() const = 0;
  // Milliseconds on a clock that never jumps and never wraps: the measure of every interval.
  virtual uint64_t MonotonicMs() const = 0;

  // Waits on `cv` (its mutex held through `lock`) until `wake` holds or this clock's
  // monotonic time reaches deadline_ms. A thread's timed waits go through here, so that on
  // a fake clock they end when the test moves the clock, not after real time.
  virtual void WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint64_t deadline_ms,
                         const std::function<bool()>& wake) const {
    const uint64_t now = MonotonicMs();
    if (now >= deadline_ms) return;
    cv.wait_for(lock, std::chrono::milliseconds(deadline_ms - now), wake);
  }
};

}  // namespace drv

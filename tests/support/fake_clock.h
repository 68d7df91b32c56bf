#pragma once

#include <atomic>
#include <cstdint>

#include "base/clock.h"
#include "base/date_time.h"

namespace drv::test {

// A clock the test moves by hand. Advance() moves all three readings together;
// SetWallTime() moves only the wall clock, as an operator or a time sync would.
class FakeClock final : public Clock {
 public:
  explicit FakeClock(DateTime wall = MakeDateTime({2026, 12, 5, 14, 3, 7, 250}), uint32_t tick = 1000000)
      : wall_ms_(static_cast<int64_t>(wall * kMsPerDay + 0.5)), tick_(tick), mono_(5000000) {}

  DateTime Now() const override { return static_cast<double>(wall_ms_.load()) / kMsPerDay; }
  uint32_t TickMs() const override { return tick_.load(); }
  uint64_t MonotonicMs() const override { return mono_.load(); }

  void Advance(uint64_t ms) {
    wall_ms_ += static_cast<int64_t>(ms);
    tick_ += static_cast<uint32_t>(ms);
    mono_ += ms;
  }
  void SetWallTime(DateTime wall) { wall_ms_ = static_cast<int64_t>(wall * kMsPerDay + 0.5); }
  void SetTick(uint32_t tick) { tick_ = tick; }

  // Looks at this clock every real millisecond: a waiter wakes soon after the test moves it.
  void WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint64_t deadline_ms,
                 const std::function<bool()>& wake) const override {
    while (!wake() && MonotonicMs() < deadline_ms) cv.wait_for(lock, std::chrono::milliseconds(1));
  }

 private:
  std::atomic<int64_t> wall_ms_;
  std::atomic<uint32_t> tick_;
  std::atomic<uint64_t> mono_;
};

}  // namespace drv::test

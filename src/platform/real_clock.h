#pragma once

#include "base/clock.h"

namespace drv {

// The system's clocks: local wall time from the time zone database, ticks from CLOCK_MONOTONIC.
class RealClock final : public Clock {
 public:
  DateTime Now() const override;
  uint32_t TickMs() const override;
  uint64_t MonotonicMs() const override;
};

}  // namespace drv

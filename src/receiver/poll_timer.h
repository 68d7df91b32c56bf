#pragma once

#include <cstdint>

namespace drv {

// The periodic tick that drives the port component's receive step. The host owns the real
// timer and calls the component's PollPort on each tick; the core never sleeps.
class PollTimer {
 public:
  virtual ~PollTimer() = default;
  // (Re)starts the tick with the given period.
  virtual void Start(uint32_t period_ms) = 0;
  virtual void Stop() = 0;
  virtual bool IsActive() const = 0;
};

}  // namespace drv

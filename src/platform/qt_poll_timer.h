#pragma once

#include <QTimer>
#include <functional>

#include "receiver/poll_timer.h"

namespace drv {

// The receive poll on the main thread's event loop. The host binds `tick` to PollPort.
// While the line is idle the host may suspend the timer: the poll stays running as far as
// the port component is concerned, but nothing wakes until Resume (on arriving data).
class QtPollTimer final : public PollTimer {
 public:
  explicit QtPollTimer(std::function<void()> tick);
  void Start(uint32_t period_ms) override;
  void Stop() override;
  bool IsActive() const override;

  void Suspend();
  // Restarts a suspended poll; true when it was suspended.
  bool Resume();
  bool IsSuspended() const { return running_ && !timer_.isActive(); }

 private:
  QTimer timer_;
  std::function<void()> tick_;
  bool running_ = false;
};

}  // namespace drv

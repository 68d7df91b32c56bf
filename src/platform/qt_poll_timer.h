#pragma once

#include <QTimer>
#include <functional>

#include "receiver/poll_timer.h"

namespace drv {

// The receive poll on the main thread's event loop. The host binds `tick` to PollPort.
class QtPollTimer final : public PollTimer {
 public:
  explicit QtPollTimer(std::function<void()> tick);
  void Start(uint32_t period_ms) override;
  void Stop() override;
  bool IsActive() const override;

 private:
  QTimer timer_;
  std::function<void()> tick_;
};

}  // namespace drv

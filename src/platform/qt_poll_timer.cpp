#include "platform/qt_poll_timer.h"

#include <utility>

namespace drv {

QtPollTimer::QtPollTimer(std::function<void()> tick) : tick_(std::move(tick)) {
  // A coarse timer may stretch a 5 ms period to several times that.
  timer_.setTimerType(Qt::PreciseTimer);
  QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] {
    if (tick_) tick_();
  });
}

void QtPollTimer::Start(uint32_t period_ms) {
  running_ = true;
  timer_.start(static_cast<int>(period_ms));
}

void QtPollTimer::Stop() {
  running_ = false;
  timer_.stop();
}

bool QtPollTimer::IsActive() const { return running_; }

void QtPollTimer::Suspend() {
  if (running_) timer_.stop();
}

bool QtPollTimer::Resume() {
  if (!IsSuspended()) return false;
  timer_.start();
  return true;
}

}  // namespace drv

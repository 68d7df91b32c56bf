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

void QtPollTimer::Start(uint32_t period_ms) { timer_.start(static_cast<int>(period_ms)); }

void QtPollTimer::Stop() { timer_.stop(); }

bool QtPollTimer::IsActive() const { return timer_.isActive(); }

}  // namespace drv

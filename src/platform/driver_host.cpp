#include "platform/driver_host.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <thread>

#include "app/date_time.h"
#include "app/guarded.h"
#include "platform/posix_tcp_connection.h"
#include "receiver/com_names.h"

namespace drv {

void RunOnThreadOf(QObject* context, const std::function<void()>& work) {
  if (QThread::currentThread() == context->thread()) {
    work();
    return;
  }
  QMetaObject::invokeMethod(context, [&work] { work(); }, Qt::BlockingQueuedConnection);
}

DriverHost::DriverHost(Callbacks callbacks, std::string work_dir)
    : callbacks_(std::move(callbacks)),
      exception_report_(clock_, work_dir == "." ? std::string(kExceptionLogFileName)
                                                : work_dir + "/" + kExceptionLogFileName),
      serial_device_([this](const std::string& port_name) {
        return ResolveDevicePath(port_name, driver_->settings().ComMap);
      }),
      poll_timer_([this] { PollTick(); }) {
  driver_ = std::make_unique<Driver>(DriverDeps{
      .clock = clock_,
      .serial_device = serial_device_,
      .poll_timer = poll_timer_,
      .reporter = *this,
      .link_observer = *this,
      .make_connection = [] { return std::make_unique<PosixTcpConnection>(); },
      .sleep_ms = [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); },
      .work_dir = std::move(work_dir),
  });
  driver_->OnStationIndicatorChanged = [this] {
    if (callbacks_.station_indicator) callbacks_.station_indicator();
  };
  timer2_.setInterval(200);
  connect(&timer2_, &QTimer::timeout, this, [this] {
    driver_->Timer2Tick();
    if (callbacks_.station_indicator) callbacks_.station_indicator();
    if (callbacks_.after_tick) callbacks_.after_tick();
  });
}

DriverHost::~DriverHost() {
  Shutdown();
  driver_.reset();
}

Driver::StartState DriverHost::Start() {
  Driver::StartState state = driver_->Start();
  timer2_.start();
  return state;
}

void DriverHost::Shutdown() {
  if (shut_down_) return;
  shut_down_ = true;
  timer2_.stop();
  driver_->RequestStop();
  // The link thread may be waiting for this thread to show a log line: keep serving events
  // until its loop has ended. A connect or reply read ends within its own time-out.
  QElapsedTimer waited;
  waited.start();
  while (!driver_->WaitLinkStopped(10)) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    if (waited.elapsed() > 30000) {
      ReportException("shutdown", "the server link did not stop within 30 s");
      break;
    }
  }
}

void DriverHost::PollTick() {
  RunGuarded(*this, "PollPort", [this] { driver_->SerialPortDriver1().PollPort(); });
}

void DriverHost::LogLine(const std::string& line) {
  RunOnThreadOf(this, [&] {
    if (callbacks_.log_line) callbacks_.log_line(line);
  });
}

void DriverHost::TickServerIndicator() {
  RunOnThreadOf(this, [&] {
    driver_->AdvanceServerTick();
    if (callbacks_.server_indicator) callbacks_.server_indicator();
  });
}

void DriverHost::ReportException(const std::string& where, const std::string& what) {
  exception_report_.Report(where, what);
}

void DriverHost::OperatorLog(const std::string& text) { LogLine(FormatDateAndTime(clock_.Now()) + " " + text); }

}  // namespace drv

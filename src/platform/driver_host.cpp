#include "platform/driver_host.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QThread>
#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

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

namespace {

int g_signal_fds[2] = {-1, -1};

void OnTerminationSignal(int) {
  const char byte = 1;
  [[maybe_unused]] auto ignored = ::write(g_signal_fds[0], &byte, 1);
}

}  // namespace

bool CallOnTerminationSignal(QObject* context, std::function<void()> on_signal) {
  if (g_signal_fds[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signal_fds) != 0) {
    std::perror("socketpair");
    return false;
  }
  auto* notifier = new QSocketNotifier(g_signal_fds[1], QSocketNotifier::Read, context);
  QObject::connect(notifier, &QSocketNotifier::activated, context, [on_signal = std::move(on_signal)] {
    char byte;
    [[maybe_unused]] auto ignored = ::read(g_signal_fds[1], &byte, 1);
    on_signal();
  });
  struct sigaction action{};
  action.sa_handler = OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  // Closing the terminal, Ctrl+C, a service manager and Ctrl+\ all end the driver the same
  // orderly way: nothing that reached the port is thrown away.
  for (const int signal_number : {SIGHUP, SIGINT, SIGTERM, SIGQUIT}) sigaction(signal_number, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  return true;
}

DriverHost::DriverHost(Callbacks callbacks, std::string work_dir)
    : DriverHost(std::move(callbacks), Options{.work_dir = std::move(work_dir), .clock = nullptr, .sleep_ms = {}}) {}

DriverHost::DriverHost(Callbacks callbacks, Options options)
    : callbacks_(std::move(callbacks)),
      clock_(options.clock != nullptr ? *options.clock : real_clock_),
      exception_report_(clock_, options.work_dir == "." ? std::string(kExceptionLogFileName)
                                                        : options.work_dir + "/" + kExceptionLogFileName),
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
      .sleep_ms = options.sleep_ms ? std::move(options.sleep_ms)
                                   : [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); },
      .work_dir = std::move(options.work_dir),
  });
  // The device reports its loss from inside its own signal (even from within a poll): the
  // port is closed and retried from the event loop instead, once that call has returned.
  serial_device_.OnDeviceLost = [this] {
    QMetaObject::invokeMethod(this, [this] { driver_->PortDeviceLost(); }, Qt::QueuedConnection);
  };
  serial_device_.OnDataArrived = [this] {
    // Arrives from inside the device's own read as well; the tick runs from the event loop.
    QMetaObject::invokeMethod(this, [this] { DataArrived(); }, Qt::QueuedConnection);
  };
  // A read error (a hung-up line) must reach the poll, which counts failures into a loss.
  serial_device_.OnReadError = serial_device_.OnDataArrived;
  driver_->OnStationIndicatorChanged = [this] {
    if (callbacks_.station_indicator) callbacks_.station_indicator();
  };
  timer2_.setInterval(200);
  connect(&timer2_, &QTimer::timeout, this, &DriverHost::Timer2Tick);
}

void DriverHost::Timer2Tick() {
  if (shut_down_) return;
  driver_->Timer2Tick();
  if (callbacks_.station_indicator) callbacks_.station_indicator();
  if (callbacks_.after_tick) callbacks_.after_tick();
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
  TSerialPortDriver& port = driver_->SerialPortDriver1();
  RunGuarded(*this, "PollPort", [&] { port.PollPort(); });
  // A tick that finds nothing waiting and no partial packet being timed has no effect: the
  // poll sleeps until the device reports data (200 wake-ups a second cost ~1 % of a core).
  // The count includes what the device has already buffered, so nothing can be left behind.
  if (port.PortOpen() && port.PacketStartTick() == -1) {
    const std::optional<size_t> waiting = serial_device_.BytesWaiting();
    if (waiting && *waiting == 0) poll_timer_.Suspend();
  }
}

void DriverHost::DataArrived() {
  if (poll_timer_.Resume()) PollTick();
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

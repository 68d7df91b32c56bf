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

#include "base/date_time.h"
#include "base/guarded.h"
#include "platform/posix_tcp_connection.h"
#include "receiver/com_names.h"

namespace drv {

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
  // A sleeping poll wakes on the device's notice of data; should a notice ever be missed,
  // the bytes wait in the kernel for this tick at most.
  DataArrived();
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
  StartService();
  return state;
}

void DriverHost::StartService() {
  const Settings& settings = driver_->settings();
  exception_report_.SetLimitsKB(settings.LogMaxKB, settings.LogFiles);
  if (::access(driver_->IniPath().c_str(), F_OK) != 0) {
    const std::string folder = driver_->PathIn("");
    char cwd[4096];
    OperatorLog("Файл " + std::string(kIniFileName) + " не найден в папке " +
                (folder.empty() ? std::string(::getcwd(cwd, sizeof cwd) != nullptr ? cwd : ".") : folder) +
                ": работа с настройками по умолчанию");
  }
  // The figures other parts keep are wired here, in one place.
  service_ = std::make_unique<ServiceMonitor>(clock_, *driver_, reporter(),
                                              ServiceMonitor::Hooks{
                                                  .link_alive = [this] { return LinkThreadAlive(); },
                                                  .held_count =
                                                      [this] {
                                                        const SpoolKeeper* keeper = driver_->keeper();
                                                        return keeper ? keeper->HeldCount() : std::size_t{0};
                                                      },
                                                  .events_sent =
                                                      [this] {
                                                        const ServerLink* link = driver_->link();
                                                        return link ? link->EventsDelivered() : uint64_t{0};
                                                      },
                                                  .events_spooled =
                                                      [this] {
                                                        const SpoolKeeper* keeper = driver_->keeper();
                                                        return keeper ? keeper->SpooledCount() : uint64_t{0};
                                                      },
                                                  .reconnects =
                                                      [this] {
                                                        const ServerLink* link = driver_->link();
                                                        return link ? link->ConnectionAttempts() : uint64_t{0};
                                                      },
                                              });
  service_->OnOperatorLine = [this](const std::string& text) { OperatorLog(text); };
  service_->OnBacklogText = [this](const std::string& text) {
    if (OnBacklogText) OnBacklogText(text);
  };
  service_->OnBacklogAnnounced = [this](const std::string& text) {
    if (OnBacklogAnnounced) OnBacklogAnnounced(text);
  };
  service_->Start();
}

bool DriverHost::LinkThreadAlive() const {
  const ServerLink* link = driver_->link();
  if (link == nullptr) return true;
  // A step blocks for one connect or one write and reply read, each bounded well below this.
  return clock_.MonotonicMs() - link->LastProgressMs() < kLinkStuckMs;
}

void DriverHost::Shutdown() {
  if (shut_down_) return;
  shut_down_ = true;
  if (service_) service_->Stopping();
  timer2_.stop();
  driver_->RequestStop();
  // The link thread never waits for this one; its connect or reply read ends within its
  // own limit. Its last log lines are shown while waiting.
  QElapsedTimer waited;
  waited.start();
  while (!driver_->WaitLinkStopped(10)) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    if (waited.elapsed() > kStopLimitMs) {
      ReportException("shutdown", "the server link did not stop in time");
      break;
    }
  }
  QCoreApplication::processEvents(QEventLoop::AllEvents);
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
  PostToMainThread([this, line] {
    if (callbacks_.log_line) callbacks_.log_line(line);
  });
}

void DriverHost::TickServerIndicator(bool connected) {
  PostToMainThread([this, connected] {
    driver_->ServerIndicatorTicked(connected);
    if (callbacks_.server_indicator) callbacks_.server_indicator();
  });
}

void DriverHost::PostToMainThread(std::function<void()> work) {
  // Posted events run in the order they were posted; the caller never waits for them.
  if (QThread::currentThread() == thread()) {
    work();
    return;
  }
  QMetaObject::invokeMethod(this, std::move(work), Qt::QueuedConnection);
}

void DriverHost::ReportException(const std::string& where, const std::string& what) {
  exception_report_.Report(where, what);
}

void DriverHost::OperatorLog(const std::string& text) { LogLine(FormatDateAndTime(clock_.Now()) + " " + text); }

}  // namespace drv

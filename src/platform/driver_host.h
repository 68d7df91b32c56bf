#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>

#include "app/driver.h"
#include "base/exception_report.h"
#include "platform/qt_poll_timer.h"
#include "platform/qt_serial_device.h"
#include "platform/real_clock.h"
#include "platform/service_monitor.h"

namespace drv {

// Turns SIGHUP, SIGINT, SIGTERM and SIGQUIT into a call of `on_signal` from the event loop of the calling
// (main) thread: the handler only writes a byte into a socket pair, so nothing unsafe runs
// inside it. Also ignores SIGPIPE. Call once per process; the notifier lives as a child of
// `context`. False when the socket pair cannot be made.
bool CallOnTerminationSignal(QObject* context, std::function<void()> on_signal);

// The Qt host of the driver core, shared by the window and the headless front end: real
// clock, serial device, poll timer, the 200 ms tick, the TCP client, and the hand-over of
// the link thread's reports to the main thread.
class DriverHost final : public QObject, private LinkObserver, private Reporter {
 public:
  struct Callbacks {
    std::function<void(const std::string& line)> log_line;  // one operator log line, UTF-8
    std::function<void()> server_indicator;                  // ServerTick advanced
    std::function<void()> station_indicator;                 // station state or phase changed
    std::function<void()> after_tick;                        // after every 200 ms tick
  };

  struct Options {
    std::string work_dir = ".";
    const Clock* clock = nullptr;          // null: the system's clocks
    std::function<void(int ms)> sleep_ms;  // the start-up DTR pause; null: really sleep
  };

  // The longest a stop waits for the link thread; its own waits are far shorter.
  static constexpr int kStopLimitMs = 9000;
  // The link thread counts as stuck when its loop has not gone round for this long.
  static constexpr uint64_t kLinkStuckMs = 20000;

  explicit DriverHost(Callbacks callbacks, std::string work_dir = ".");
  DriverHost(Callbacks callbacks, Options options);
  ~DriverHost() override;

  Driver::StartState Start();
  // The work of one 200 ms tick with its callbacks; the timer calls it, tests may too.
  void Timer2Tick();
  // The closing steps, then waits (running the event loop) until the link thread has ended.
  // Idempotent.
  void Shutdown();
  bool IsShutDown() const { return shut_down_; }

  Driver& driver() { return *driver_; }
  // Service notification, backlog and metrics; exists from Start on.
  ServiceMonitor* service() { return service_.get(); }
  // Set before Start: the backlog line on every service tick (about once a second), and
  // the same line when it has changed noticeably (at most once every 10 s).
  std::function<void(const std::string& text)> OnBacklogText;
  std::function<void(const std::string& text)> OnBacklogAnnounced;
  Reporter& reporter() { return *this; }
  const Clock& clock() const { return clock_; }

 private:
  void LogLine(const std::string& line) override;
  void TickServerIndicator(bool connected) override;
  void PostToMainThread(std::function<void()> work);
  void ReportException(const std::string& where, const std::string& what) override;
  void OperatorLog(const std::string& text) override;
  void PollTick();
  bool LinkThreadAlive() const;
  void DataArrived();
  void StartService();

  Callbacks callbacks_;
  RealClock real_clock_;
  const Clock& clock_;
  ExceptionReport exception_report_;
  QtSerialDevice serial_device_;
  QtPollTimer poll_timer_;
  QTimer timer2_;
  std::unique_ptr<Driver> driver_;
  std::unique_ptr<ServiceMonitor> service_;  // holds the driver: goes first
  bool shut_down_ = false;
};

}  // namespace drv

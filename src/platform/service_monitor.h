#pragma once

#include <QObject>
#include <QTimer>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <string>

#include "app/backlog_monitor.h"
#include "base/clock.h"
#include "app/driver.h"
#include "app/metrics.h"
#include "base/reporting.h"
#include "app/service_notify.h"
#include "platform/systemd_notifier.h"

namespace drv {

// The driver as a long-running service: notifies the service manager (ready, watchdog
// pings, status, stopping), keeps the backlog figures and tells of them, and writes the
// metrics file. Its one-second tick runs on the main thread, so a main loop that stalls
// stops the pings.
class ServiceMonitor final : public QObject {
 public:
  // Figures kept by other parts of the driver; an unset hook counts as 0 (alive: true).
  struct Hooks {
    std::function<bool()> link_alive;          // the link thread still makes progress
    std::function<std::size_t()> held_count;   // records held in memory
    std::function<uint64_t()> events_sent;     // events answered by the server
    std::function<uint64_t()> events_spooled;  // events written to spool files
    std::function<uint64_t()> reconnects;      // connections after the first
  };

  static constexpr uint64_t kMetricsIntervalMs = 10000;

  ServiceMonitor(const Clock& clock, Driver& driver, Reporter& reporter, Hooks hooks);
  ~ServiceMonitor() override;

  // After start-up: READY=1, the first figures, then the tick.
  void Start();
  // At the start of the closing steps: STOPPING=1; the tick ends.
  void Stopping();
  // One round of work; the timer calls it.
  void Tick();

  MetricsSnapshot Snapshot() const;
  const BacklogMonitor& backlog() const { return backlog_; }

  // The backlog line, on every tick (window status line, tray hint).
  std::function<void(const std::string& text)> OnBacklogText;
  // The backlog line when it changed noticeably, at most once every 10 s (headless output).
  std::function<void(const std::string& text)> OnBacklogAnnounced;
  // Operator lines (without date and time) for the operator log.
  std::function<void(const std::string& text)> OnOperatorLine;

 private:
  LinkStates Links() const;
  void WriteMetrics();
  // The folder is listed on a thread of its own (100,000 files take about half a second),
  // every 10 s; the backlog reads the last listing, its age brought up to now.
  void StartScanWhenDue();
  SpoolBacklogScan LatestScan() const;
  std::string SpoolPrefix() const;

  const Clock& clock_;
  Driver& driver_;
  Reporter& reporter_;
  Hooks hooks_;
  SystemdNotifier notifier_;
  BacklogMonitor backlog_;
  std::unique_ptr<ServiceNotifyPlan> plan_;
  QTimer timer_;
  std::string metrics_path_;
  std::string instance_;
  bool metrics_written_ = false;
  uint64_t metrics_at_ = 0;
  bool metrics_failing_ = false;
  bool stall_reported_ = false;
  bool stopping_ = false;
  std::future<SpoolBacklogScan> scanning_;
  bool scanned_ = false;
  uint64_t scan_started_ = 0;
  SpoolBacklogScan latest_;
  double latest_at_ = 0;  // wall time of the listing, seconds since 1970
};

}  // namespace drv

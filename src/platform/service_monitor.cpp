#include "platform/service_monitor.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "spool/spool_backlog.h"

namespace drv {
namespace {

std::string CurrentFolder() {
  char buffer[4096];
  return ::getcwd(buffer, sizeof buffer) != nullptr ? std::string(buffer) : std::string(".");
}

}  // namespace

ServiceMonitor::ServiceMonitor(const Clock& clock, Driver& driver, Reporter& reporter, Hooks hooks)
    : clock_(clock),
      driver_(driver),
      reporter_(reporter),
      hooks_(std::move(hooks)),
      backlog_(
          clock, [this] { return LatestScan(); },
          [this] { return hooks_.held_count ? hooks_.held_count() : std::size_t{0}; }) {
  connect(&timer_, &QTimer::timeout, this, &ServiceMonitor::Tick);
}

ServiceMonitor::~ServiceMonitor() {
  if (scanning_.valid()) scanning_.wait();
}

void ServiceMonitor::StartScanWhenDue() {
  if (scanning_.valid()) {
    if (scanning_.wait_for(std::chrono::seconds(0)) != std::future_status::ready) return;
    latest_ = scanning_.get();
    latest_at_ = UnixNowSeconds();
    backlog_.ScanSoon();  // the new figures at this tick
  }
  const uint64_t now = clock_.MonotonicMs();
  if (scanned_ && now - scan_started_ < BacklogMonitor::kScanIntervalMs) return;
  scanned_ = true;
  scan_started_ = now;
  scanning_ = std::async(std::launch::async,
                         [prefix = SpoolPrefix()] { return ScanSpoolBacklog(prefix, UnixNowSeconds()); });
}

std::string ServiceMonitor::SpoolPrefix() const {
  const Settings& s = driver_.settings();
  // The spool's own rule: the prefix as it stands; empty is the working folder.
  return s.PathForSoob.empty() ? driver_.PathIn("") : driver_.PathIn(s.PathForSoob);
}

SpoolBacklogScan ServiceMonitor::LatestScan() const {
  SpoolBacklogScan scan = latest_;
  if (scan.files > 0) scan.oldest_age_seconds += std::max(0.0, UnixNowSeconds() - latest_at_);
  return scan;
}

void ServiceMonitor::Start() {
  plan_ = std::make_unique<ServiceNotifyPlan>(clock_, notifier_.WatchdogUsec(), hooks_.link_alive);
  const std::string& metrics_file = driver_.settings().MetricsFile;
  if (!metrics_file.empty()) {
    metrics_path_ = driver_.PathIn(metrics_file);
    const std::string folder = driver_.PathIn("");
    instance_ = MetricsInstance(std::getenv("DRVLARNA_INSTANCE"), folder.empty() ? CurrentFolder() : folder);
  }
  // The first figures before anything is told: a backlog left from the last run shows at once.
  latest_at_ = UnixNowSeconds();
  latest_ = ScanSpoolBacklog(SpoolPrefix(), latest_at_);
  scanned_ = true;
  scan_started_ = clock_.MonotonicMs();
  notifier_.Send("READY=1");
  Tick();
  // Several ticks to a ping period, so a late tick still pings in time.
  const uint64_t ping = plan_->PingIntervalMs();
  const int interval = ping > 0 ? static_cast<int>(std::clamp<uint64_t>(ping / 4, 20, 1000)) : 1000;
  timer_.start(interval);
}

void ServiceMonitor::Stopping() {
  if (stopping_) return;
  stopping_ = true;
  timer_.stop();
  notifier_.Send("STOPPING=1");
}

LinkStates ServiceMonitor::Links() const {
  LinkStates links;
  links.has_server_link = driver_.HasServerLink();
  links.server_connected = driver_.ServerConnected();
  links.station_link_ok = driver_.StationLinkOk();
  links.port_open = driver_.SerialPortDriver1().PortOpen();
  return links;
}

void ServiceMonitor::Tick() {
  if (stopping_ || !plan_) return;
  StartScanWhenDue();
  const BacklogMonitor::Step step = backlog_.Tick();
  if (step.operator_line && OnOperatorLine) OnOperatorLine(*step.operator_line);
  if (step.announcement && OnBacklogAnnounced) OnBacklogAnnounced(*step.announcement);
  if (OnBacklogText) OnBacklogText(BacklogText(backlog_.Current()));

  for (const std::string& message : plan_->Tick(ServiceStatusText(Links(), backlog_.AnnouncedText()))) {
    notifier_.Send(message);
  }
  if (plan_->link_stalled() && !stall_reported_) {
    stall_reported_ = true;
    reporter_.ReportException("watchdog", "the server link makes no progress; watchdog pings withheld");
  } else if (!plan_->link_stalled()) {
    stall_reported_ = false;
  }

  const uint64_t now = clock_.MonotonicMs();
  if (!metrics_path_.empty() && (!metrics_written_ || now - metrics_at_ >= kMetricsIntervalMs)) {
    metrics_written_ = true;
    metrics_at_ = now;
    WriteMetrics();
  }
}

MetricsSnapshot ServiceMonitor::Snapshot() const {
  const LinkStates links = Links();
  const Backlog backlog = backlog_.Current();
  MetricsSnapshot s;
  s.server_connected = links.server_connected;
  s.station_link_ok = links.station_link_ok;
  s.port_open = links.port_open;
  s.spool_files = backlog.spool_files;
  s.spool_oldest_age_seconds = backlog.oldest_age_seconds;
  s.held_in_memory = backlog.held;
  s.lines_received = driver_.line_protocol() != nullptr ? driver_.line_protocol()->LinesReceived() : 0;
  s.events_sent = hooks_.events_sent ? hooks_.events_sent() : 0;
  s.events_spooled = hooks_.events_spooled ? hooks_.events_spooled() : 0;
  s.reconnects = hooks_.reconnects ? hooks_.reconnects() : 0;
  return s;
}

void ServiceMonitor::WriteMetrics() {
  std::string error;
  if (WriteFileAtomically(metrics_path_, RenderMetrics(Snapshot(), instance_), &error)) {
    metrics_failing_ = false;
  } else if (!metrics_failing_) {
    metrics_failing_ = true;  // once until a write succeeds again
    reporter_.ReportException("metrics file", error);
  }
}

}  // namespace drv

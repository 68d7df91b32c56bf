#include "app/backlog_monitor.h"

#include <cmath>
#include <cstdio>

namespace drv {
namespace {

std::string FormatAge(double seconds) {
  const auto total = static_cast<long long>(std::floor(seconds));
  const long long days = total / 86400;
  char text[48];
  std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total % 86400 / 3600, total % 3600 / 60, total % 60);
  return days > 0 ? std::to_string(days) + " сут. " + text : std::string(text);
}

}  // namespace

std::string BacklogText(const Backlog& backlog) {
  if (backlog.empty()) return kBacklogEmptyText;
  std::string text = "Очередь: ";
  if (backlog.spool_files > 0) {
    text += "файлов " + std::to_string(backlog.spool_files);
    text += " (старейший " + FormatAge(backlog.oldest_age_seconds) + ")";
  }
  if (backlog.held > 0) {
    if (backlog.spool_files > 0) text += ", ";
    text += "в памяти " + std::to_string(backlog.held);
  }
  return text;
}

BacklogMonitor::BacklogMonitor(const Clock& clock, ScanFn scan, HeldFn held_count)
    : clock_(clock), scan_(std::move(scan)), held_count_(std::move(held_count)) {}

Backlog BacklogMonitor::Current() const {
  Backlog backlog;
  backlog.spool_files = last_scan_.files;
  backlog.held = held_;
  if (backlog.spool_files > 0) {
    backlog.oldest_age_seconds =
        last_scan_.oldest_age_seconds + static_cast<double>(clock_.MonotonicMs() - scanned_at_) / 1000.0;
  }
  return backlog;
}

BacklogMonitor::Step BacklogMonitor::Tick() {
  const uint64_t now = clock_.MonotonicMs();
  if (scan_due_ || now - scanned_at_ >= kScanIntervalMs) {
    if (scan_) last_scan_ = scan_();
    scanned_at_ = now;
    scan_due_ = false;
  }
  held_ = held_count_ ? held_count_() : 0;

  Step step;
  const Backlog backlog = Current();
  if (backlog.empty() != was_empty_) {
    step.operator_line = backlog.empty() ? std::string(kBacklogDrainedText)
                                         : std::string(kBacklogStartedText) + BacklogText(backlog);
    was_empty_ = backlog.empty();
  }
  const bool changed = !announced_ || backlog.spool_files != announced_files_ || backlog.held != announced_held_;
  if (changed && (!announced_ || now - announced_at_ >= kAnnounceIntervalMs)) {
    announced_ = true;
    announced_at_ = now;
    announced_files_ = backlog.spool_files;
    announced_held_ = backlog.held;
    announced_text_ = BacklogText(backlog);
    step.announcement = announced_text_;
  }
  return step;
}

}  // namespace drv

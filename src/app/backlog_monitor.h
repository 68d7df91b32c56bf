#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "base/clock.h"
#include "spool/spool_backlog.h"

namespace drv {

// Records not yet answered by the server: spool files on disk and records held in memory.
struct Backlog {
  std::size_t spool_files = 0;
  double oldest_age_seconds = 0;  // of the oldest spool file
  std::size_t held = 0;
  bool empty() const { return spool_files == 0 && held == 0; }
};

// One line for the window, the tray and the service status (UTF-8).
std::string BacklogText(const Backlog& backlog);
inline constexpr const char kBacklogEmptyText[] = "Очередь на отправку пуста";
inline constexpr const char kBacklogStartedText[] = "Есть неотправленные события: ";
inline constexpr const char kBacklogDrainedText[] = "Очередь неотправленных событий пуста.";

// Keeps the backlog figures current without listing the spool folder on every tick (a folder
// may hold many thousands of files) and decides what is worth telling: an operator line
// when a backlog appears and when it has drained, and an announcement for the headless
// output and the service status when the counts change, at most once every 10 s.
// Runs on the main thread.
class BacklogMonitor {
 public:
  static constexpr uint64_t kScanIntervalMs = 10000;
  static constexpr uint64_t kAnnounceIntervalMs = 10000;

  using ScanFn = std::function<SpoolBacklogScan()>;
  using HeldFn = std::function<std::size_t()>;

  BacklogMonitor(const Clock& clock, ScanFn scan, HeldFn held_count);

  struct Step {
    std::optional<std::string> operator_line;  // backlog appeared or drained
    std::optional<std::string> announcement;   // BacklogText worth repeating
  };
  // Called often (about once a second); scans the folder when the last scan is 10 s old.
  Step Tick();
  // The next Tick lists the folder whatever the time (the spool has just changed).
  void ScanSoon() { scan_due_ = true; }

  // The figures now: the oldest file's age moves on between scans.
  Backlog Current() const;
  // The text of the last announcement (the figures of that moment).
  const std::string& AnnouncedText() const { return announced_text_; }

 private:
  const Clock& clock_;
  ScanFn scan_;
  HeldFn held_count_;
  bool scan_due_ = true;
  uint64_t scanned_at_ = 0;
  SpoolBacklogScan last_scan_;
  std::size_t held_ = 0;
  bool was_empty_ = true;
  bool announced_ = false;
  uint64_t announced_at_ = 0;
  std::size_t announced_files_ = 0;
  std::size_t announced_held_ = 0;
  std::string announced_text_;
};

}  // namespace drv

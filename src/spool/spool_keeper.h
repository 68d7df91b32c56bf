#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/reporting.h"
#include "spool/spool_files.h"

namespace drv {

// The one door through which records go to disk, from the main thread and the link thread
// alike. A record the spool cannot take (full disk, no permission, no folder) is held in
// memory and written, in order, once the spool takes files again; a new record never
// overtakes a held one. A spool file is what makes a record safe, so held records are never
// sent from memory.
class SpoolKeeper {
 public:
  // Writes one spool file; false with notes.error set when it could not.
  using WriteFn = std::function<bool(uint32_t type, std::span<const uint8_t> payload, SpoolFolder::WriteNotes& notes)>;

  static constexpr std::size_t kHoldLimit = 100000;
  // A retry that works writes held files for at most this long per call, so that the main
  // thread keeps serving the port while a long hold drains.
  static constexpr uint64_t kDrainSliceMs = 100;
  // Losses past the bound are told at most this often.
  static constexpr uint64_t kLossReportIntervalMs = 10000;

  // `write` replaces the folder's own write (tests inject failures through it).
  SpoolKeeper(const Clock& clock, Reporter& reporter, SpoolFolder& folder, WriteFn write = {},
              std::size_t hold_limit = kHoldLimit);
  SpoolKeeper(const SpoolKeeper&) = delete;
  SpoolKeeper& operator=(const SpoolKeeper&) = delete;

  // Writes one spool file now, or holds the record behind those already held.
  void Keep(uint32_t type, std::span<const uint8_t> payload);
  // Writes held records in order as far as the spool takes them. While it still fails this
  // costs one write attempt.
  void RetryHeld();
  // Writes what is held until the spool refuses or the monotonic clock reaches `deadline_ms`;
  // reports and returns the count left in memory.
  std::size_t FlushAtStop(uint64_t deadline_ms);

  std::size_t HeldCount() const;
  uint64_t LostCount() const { return lost_.load(); }
  // Records written to disk since start.
  uint64_t SpooledCount() const { return spooled_.load(); }

 private:
  struct Record {
    uint32_t type = 0;
    std::vector<uint8_t> payload;
  };
  // Lines gathered under the lock and told after it: the reporter may wait for the main
  // thread, which may be waiting for this lock.
  struct Lines {
    std::vector<std::string> operator_lines;
    std::vector<std::string> exceptions;
  };

  bool WriteLocked(const Record& record, Lines& lines);
  // Writes from the front of the hold until a write fails, the hold is empty or the
  // monotonic clock reaches `until_ms`. Locked.
  void DrainLocked(uint64_t until_ms, Lines& lines);
  void NoteLossesLocked(bool force, Lines& lines);
  void Tell(const Lines& lines);

  const Clock& clock_;
  Reporter& reporter_;
  SpoolFolder& folder_;
  WriteFn write_;
  const std::size_t hold_limit_;

  mutable std::mutex mutex_;
  std::deque<Record> held_;
  uint64_t written_from_hold_ = 0;  // in the current run of holding
  uint64_t unreported_lost_ = 0;
  uint64_t last_loss_report_ms_ = 0;
  bool loss_reported_ = false;
  std::atomic<uint64_t> lost_{0};
  std::atomic<uint64_t> spooled_{0};
};

}  // namespace drv

#include "spool/spool_keeper.h"

#include <utility>

namespace drv {

SpoolKeeper::SpoolKeeper(const Clock& clock, Reporter& reporter, SpoolFolder& folder, WriteFn write,
                         std::size_t hold_limit)
    : clock_(clock), reporter_(reporter), folder_(folder), write_(std::move(write)), hold_limit_(hold_limit) {
  if (!write_) {
    write_ = [&folder](uint32_t type, std::span<const uint8_t> payload, SpoolFolder::WriteNotes& notes) {
      return folder.WriteQuietly(type, payload, notes);
    };
  }
}

std::size_t SpoolKeeper::HeldCount() const {
  std::lock_guard lock(mutex_);
  return held_.size();
}

bool SpoolKeeper::WriteLocked(const Record& record, Lines& lines) {
  SpoolFolder::WriteNotes notes;
  bool written = false;
  try {
    written = write_(record.type, record.payload, notes);
  } catch (const std::exception& e) {
    notes.error = e.what();
  } catch (...) {
    notes.error = "unknown error";
  }
  if (!notes.created_folder.empty()) lines.operator_lines.push_back("Создана папка спула: " + notes.created_folder);
  if (written) {
    ++spooled_;
    return true;
  }
  // Only the first failure of a run of holding is told in detail; the probes that follow
  // would repeat it five times a second.
  if (held_.empty()) {
    lines.exceptions.push_back(notes.path + ": " + notes.error);
    lines.operator_lines.push_back("Не удалось записать файл спула: " + notes.path + " (" + notes.error +
                                   "); записи хранятся в памяти до восстановления спула");
  }
  return false;
}

void SpoolKeeper::Keep(uint32_t type, std::span<const uint8_t> payload) {
  Lines lines;
  {
    std::lock_guard lock(mutex_);
    Record record{type, {payload.begin(), payload.end()}};
    if (held_.empty()) {
      if (!WriteLocked(record, lines)) {
        written_from_hold_ = 0;
        held_.push_back(std::move(record));
      }
    } else if (held_.size() < hold_limit_) {
      held_.push_back(std::move(record));
    } else {
      ++lost_;
      ++unreported_lost_;
      NoteLossesLocked(false, lines);
    }
  }
  Tell(lines);
}

void SpoolKeeper::DrainLocked(uint64_t until_ms, Lines& lines) {
  const SpoolFolder::Batch batch(folder_);
  while (!held_.empty() && clock_.MonotonicMs() < until_ms) {
    if (!WriteLocked(held_.front(), lines)) return;
    held_.pop_front();
    ++written_from_hold_;
  }
  if (held_.empty()) {
    lines.operator_lines.push_back("Спул снова записывается, из памяти записано файлов: " +
                                   std::to_string(written_from_hold_));
    written_from_hold_ = 0;
  }
}

void SpoolKeeper::RetryHeld() {
  Lines lines;
  {
    std::lock_guard lock(mutex_);
    if (!held_.empty()) DrainLocked(clock_.MonotonicMs() + kDrainSliceMs, lines);
    NoteLossesLocked(false, lines);
  }
  Tell(lines);
}

std::size_t SpoolKeeper::FlushAtStop(uint64_t deadline_ms) {
  Lines lines;
  std::size_t left = 0;
  {
    std::lock_guard lock(mutex_);
    if (!held_.empty()) DrainLocked(deadline_ms, lines);
    NoteLossesLocked(true, lines);
    left = held_.size();
    if (left > 0) {
      lines.exceptions.push_back("stop: " + std::to_string(left) + " records not written to the spool");
      lines.operator_lines.push_back("При остановке не записано в спул записей: " + std::to_string(left));
    }
  }
  Tell(lines);
  return left;
}

void SpoolKeeper::NoteLossesLocked(bool force, Lines& lines) {
  if (unreported_lost_ == 0) return;
  const uint64_t now = clock_.MonotonicMs();
  if (!force && loss_reported_ && now - last_loss_report_ms_ < kLossReportIntervalMs) return;
  lines.exceptions.push_back(std::to_string(unreported_lost_) + " records lost: " + std::to_string(hold_limit_) +
                             " already held while the spool cannot be written");
  lines.operator_lines.push_back("Память записей для спула заполнена, потеряно записей: " +
                                 std::to_string(unreported_lost_) + " (всего: " + std::to_string(lost_.load()) + ")");
  unreported_lost_ = 0;
  last_loss_report_ms_ = now;
  loss_reported_ = true;
}

void SpoolKeeper::Tell(const Lines& lines) {
  for (const std::string& what : lines.exceptions) reporter_.ReportException("SpoolKeeper", what);
  for (const std::string& line : lines.operator_lines) reporter_.OperatorLog(line);
}

}  // namespace drv

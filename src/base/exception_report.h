#pragma once

#include <iostream>
#include <mutex>
#include <ostream>
#include <string>

#include "base/clock.h"
#include "base/rotating_log.h"

namespace drv {

inline constexpr const char kExceptionLogFileName[] = "drvlarna-errors.log";

// The general exception report: where every error that no handler caught ends up. Each
// report is one line "dd.MM.yyyy hh:mm:ss <where>: <what>", written to the error stream and
// appended to a log file. It never throws, never waits for anyone and never ends the
// program: the caller's handler is simply left and the program goes on. Safe to call from
// any thread.
class ExceptionReport {
 public:
  explicit ExceptionReport(const Clock& clock, std::string file_path = kExceptionLogFileName,
                           std::ostream* err = &std::cerr);

  void Report(const std::string& where, const std::string& what) noexcept;

  // The line Report writes, without the line end.
  std::string FormatLine(const std::string& where, const std::string& what) const;

  const std::string& file_path() const { return file_path_; }
  // The file's size limits (LogMaxKB, LogFiles); until set, the defaults of the settings.
  void SetLimitsKB(int32_t max_kb, int32_t keep_files);

 private:
  const Clock& clock_;
  const std::string file_path_;
  std::ostream* const err_;
  std::mutex mutex_;
  RotatingLog file_;  // guarded by mutex_
};

}  // namespace drv

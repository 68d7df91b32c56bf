#include "base/exception_report.h"

#include <cstdio>
#include <utility>

#include "base/date_time.h"

namespace drv {
namespace {

// A report is one line: line breaks inside a message must not start a new one.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return text;
}

}  // namespace

ExceptionReport::ExceptionReport(const Clock& clock, std::string file_path, std::ostream* err)
    : clock_(clock), file_path_(std::move(file_path)), err_(err), file_(file_path_) {
  // A failed rotation is itself worth one line, on the error stream and in the file.
  file_.SetProblemHandler([this](const std::string& what) {
    const std::string line = FormatLine("exception report", what) + "\n";
    if (err_ != nullptr) *err_ << line << std::flush;
    file_.Append(line);
  });
}

void ExceptionReport::SetLimitsKB(int32_t max_kb, int32_t keep_files) {
  const std::lock_guard<std::mutex> lock(mutex_);
  file_.SetLimitsKB(max_kb, keep_files);
}

std::string ExceptionReport::FormatLine(const std::string& where, const std::string& what) const {
  return FormatDateAndTime(clock_.Now()) + " " + OneLine(where) + ": " + OneLine(what);
}

void ExceptionReport::Report(const std::string& where, const std::string& what) noexcept {
  try {
    const std::string line = FormatLine(where, what) + "\n";
    const std::lock_guard<std::mutex> lock(mutex_);
    if (err_ != nullptr) {
      *err_ << line << std::flush;
    }
    // Opened for each report, so nothing stays open and a file that is locked or gone
    // now does not stop later reports from reaching it.
    if (!file_path_.empty()) file_.Append(line);
  } catch (...) {
    // The last resort has nowhere left to report to.
  }
}

}  // namespace drv

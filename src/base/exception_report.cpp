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
    : clock_(clock), file_path_(std::move(file_path)), err_(err) {}

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
    if (!file_path_.empty()) {
      if (std::FILE* file = std::fopen(file_path_.c_str(), "ab")) {
        std::fwrite(line.data(), 1, line.size(), file);
        std::fclose(file);
      }
    }
  } catch (...) {
    // The last resort has nowhere left to report to.
  }
}

}  // namespace drv

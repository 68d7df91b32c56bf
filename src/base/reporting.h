#pragma once

#include <string>

namespace drv {

// Where the core sends what it cannot handle itself. The host decides how it is shown.
class Reporter {
 public:
  virtual ~Reporter() = default;
  // The general exception report: an error no handler caught, or a fault that must not go
  // unseen (a spool file that could not be written). Never blocks, never ends the program.
  virtual void ReportException(const std::string& where, const std::string& what) = 0;
  // One operator log line (the text only, UTF-8); the date and time are put in front of it.
  virtual void OperatorLog(const std::string& text) = 0;
};

}  // namespace drv

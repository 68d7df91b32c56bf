#pragma once

#include <string>

namespace drv {

// How the server link reports to the operator. Called on the link thread; the host hands
// each call to its main thread and returns only when it has been done there.
class LinkObserver {
 public:
  virtual ~LinkObserver() = default;
  // One finished operator log line, UTF-8: date, blank, time, blank, text.
  virtual void LogLine(const std::string& line) = 0;
  // ServerTick advances (0..16) and the server indicator is redrawn.
  virtual void TickServerIndicator() = 0;
};

}  // namespace drv

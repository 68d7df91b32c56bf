#pragma once

#include <string>

namespace drv {

// How the server link reports to the operator. Called on the link thread; the host hands
// each call over to its main thread in order and returns at once, so the link never runs
// at the main thread's pace.
class LinkObserver {
 public:
  virtual ~LinkObserver() = default;
  // One finished operator log line, UTF-8: date, blank, time, blank, text.
  virtual void LogLine(const std::string& line) = 0;
  // ServerTick advances (0..16) and the server indicator is redrawn showing `connected`,
  // the link's state when it ticked.
  virtual void TickServerIndicator(bool connected) = 0;
};

}  // namespace drv

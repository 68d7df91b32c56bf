#pragma once

#include <cstdint>
#include <string>

namespace drv {

// The service manager's notification socket (NOTIFY_SOCKET), through libsystemd. Without
// that variable every call does nothing.
class SystemdNotifier {
 public:
  SystemdNotifier();

  bool active() const { return active_; }
  // The watchdog period the manager expects pings within, in microseconds; 0 when none.
  uint64_t WatchdogUsec() const { return watchdog_usec_; }
  // One notification ("READY=1", "STATUS=...", ...). False when it could not be sent.
  bool Send(const std::string& state) const;

 private:
  bool active_ = false;
  uint64_t watchdog_usec_ = 0;
};

}  // namespace drv

#include "platform/systemd_notifier.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>

namespace drv {

SystemdNotifier::SystemdNotifier() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  active_ = socket != nullptr && *socket != '\0';
  uint64_t usec = 0;
  // Also checks WATCHDOG_PID, so a child that inherited the variables does not ping.
  if (active_ && sd_watchdog_enabled(0, &usec) > 0) watchdog_usec_ = usec;
}

bool SystemdNotifier::Send(const std::string& state) const {
  if (!active_) return false;
  return sd_notify(0, state.c_str()) > 0;
}

}  // namespace drv

#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/clock.h"

namespace drv {

// The link states the service manager's status line shows.
struct LinkStates {
  bool has_server_link = true;
  bool server_connected = false;
  bool station_link_ok = false;
  bool port_open = false;
};

// "сервер: связь есть, станция: ..., порт: ...; <backlog>" (UTF-8).
std::string ServiceStatusText(const LinkStates& links, const std::string& backlog_text);

// Decides what the driver tells its service manager, on the manager's own protocol:
// "WATCHDOG=1" every half watchdog period while the driver works, "STATUS=..." when the
// status text changes. A ping means the main loop runs (this is called from it) and the
// link thread is still making progress: while `link_alive` says no, no ping goes out and
// the manager restarts the driver when its period has run out.
class ServiceNotifyPlan {
 public:
  // watchdog_usec 0: the manager expects no pings.
  ServiceNotifyPlan(const Clock& clock, uint64_t watchdog_usec, std::function<bool()> link_alive);

  // The messages to send now, in order.
  std::vector<std::string> Tick(const std::string& status_text);

  uint64_t PingIntervalMs() const { return ping_interval_ms_; }
  // True from a tick that withheld a ping because of the link thread until one that sent one.
  bool link_stalled() const { return link_stalled_; }

 private:
  const Clock& clock_;
  uint64_t ping_interval_ms_;
  std::function<bool()> link_alive_;
  bool pinged_ = false;
  uint64_t last_ping_ = 0;
  bool link_stalled_ = false;
  bool status_sent_ = false;
  std::string last_status_;
};

}  // namespace drv

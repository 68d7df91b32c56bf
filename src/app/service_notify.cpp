#include "app/service_notify.h"

namespace drv {

std::string ServiceStatusText(const LinkStates& links, const std::string& backlog_text) {
  std::string text = "сервер: ";
  text += !links.has_server_link ? "отключён" : (links.server_connected ? "связь есть" : "нет связи");
  text += ", станция: ";
  text += links.station_link_ok ? "связь есть" : "нет связи";
  text += ", порт: ";
  text += links.port_open ? "открыт" : "закрыт";
  if (!backlog_text.empty()) text += "; " + backlog_text;
  return text;
}

ServiceNotifyPlan::ServiceNotifyPlan(const Clock& clock, uint64_t watchdog_usec, std::function<bool()> link_alive)
    : clock_(clock), ping_interval_ms_(watchdog_usec / 2000), link_alive_(std::move(link_alive)) {
  if (watchdog_usec > 0 && ping_interval_ms_ == 0) ping_interval_ms_ = 1;
}

std::vector<std::string> ServiceNotifyPlan::Tick(const std::string& status_text) {
  std::vector<std::string> messages;
  if (!status_sent_ || status_text != last_status_) {
    status_sent_ = true;
    last_status_ = status_text;
    messages.push_back("STATUS=" + status_text);
  }
  if (ping_interval_ms_ > 0) {
    const uint64_t now = clock_.MonotonicMs();
    if (!pinged_ || now - last_ping_ >= ping_interval_ms_) {
      if (!link_alive_ || link_alive_()) {
        pinged_ = true;
        last_ping_ = now;
        link_stalled_ = false;
        messages.emplace_back("WATCHDOG=1");
      } else {
        link_stalled_ = true;
      }
    }
  }
  return messages;
}

}  // namespace drv

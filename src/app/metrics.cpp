#include "app/metrics.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/durable_file.h"

namespace drv {
namespace {

// Label values escape backslash, double quote and line feed.
std::string EscapeLabel(const std::string& value) {
  std::string out;
  for (const char c : value) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string Number(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.3f", value);
  return text;
}

}  // namespace

std::string RenderMetrics(const MetricsSnapshot& s, const std::string& instance) {
  const std::string label = "{instance=\"" + EscapeLabel(instance) + "\"} ";
  std::string out;
  const auto series = [&](const char* name, const char* type, const char* help, const std::string& value) {
    out += std::string("# HELP ") + name + " " + help + "\n";
    out += std::string("# TYPE ") + name + " " + type + "\n";
    out += std::string(name) + label + value + "\n";
  };
  const auto flag = [](bool on) { return std::string(on ? "1" : "0"); };
  series("drvlarna_server_connected", "gauge", "1 while the connection to the message server is up.",
         flag(s.server_connected));
  series("drvlarna_station_link_ok", "gauge", "1 while the receiver has sent data within Attention.",
         flag(s.station_link_ok));
  series("drvlarna_port_open", "gauge", "1 while the serial port to the receiver is open.", flag(s.port_open));
  series("drvlarna_spool_files", "gauge", "Spool files waiting to be sent.", std::to_string(s.spool_files));
  series("drvlarna_spool_oldest_age_seconds", "gauge",
         "Age of the oldest waiting spool file from its modification time; 0 without files.",
         Number(s.spool_oldest_age_seconds));
  series("drvlarna_held_in_memory", "gauge", "Records held in memory, not yet answered by the server.",
         std::to_string(s.held_in_memory));
  series("drvlarna_lines_received_total", "counter", "Event lines received from the receiver.",
         std::to_string(s.lines_received));
  series("drvlarna_events_sent_total", "counter", "Events answered by the server, live and replayed.",
         std::to_string(s.events_sent));
  series("drvlarna_events_spooled_total", "counter", "Events written to spool files.",
         std::to_string(s.events_spooled));
  series("drvlarna_reconnects_total", "counter", "Connections to the message server made after the first.",
         std::to_string(s.reconnects));
  return out;
}

std::string MetricsInstance(const char* instance_env, const std::string& work_dir) {
  if (instance_env != nullptr && *instance_env != '\0') return instance_env;
  std::string dir = work_dir;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  const auto slash = dir.rfind('/');
  std::string name = slash == std::string::npos ? dir : dir.substr(slash + 1);
  return name.empty() ? std::string("drvlarna") : name;
}

bool WriteFileAtomically(const std::string& path, const std::string& text, std::string* error) {
  const std::string temp = path + ".tmp";
  // Rewritten every interval and read by a scraper: a reader needs a whole file, not a synced one.
  const durable::WriteResult written = durable::WriteFile(temp, text, {.sync = false});
  if (!written) {
    if (error != nullptr) {
      *error = std::string(durable::StepName(written.failed_at)) + " " + temp + ": " + std::strerror(written.error);
    }
    return false;
  }
  if (const int moved = durable::MoveReplacing(temp, path); moved != 0) {
    ::unlink(temp.c_str());
    if (error != nullptr) *error = "rename to " + path + ": " + std::strerror(moved);
    return false;
  }
  return true;
}

}  // namespace drv

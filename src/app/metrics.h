#pragma once

#include <cstdint>
#include <string>

namespace drv {

// The figures a monitoring system reads, as the host collects them every 10 s.
struct MetricsSnapshot {
  bool server_connected = false;
  bool station_link_ok = false;
  bool port_open = false;
  uint64_t spool_files = 0;
  double spool_oldest_age_seconds = 0;
  uint64_t held_in_memory = 0;
  uint64_t lines_received = 0;
  uint64_t events_sent = 0;
  uint64_t events_spooled = 0;
  uint64_t reconnects = 0;
};

// The snapshot in the Prometheus text format, every series labelled instance="<instance>".
std::string RenderMetrics(const MetricsSnapshot& snapshot, const std::string& instance);

// The installation's name: the service instance when one is given (DRVLARNA_INSTANCE),
// otherwise the last component of the working folder.
std::string MetricsInstance(const char* instance_env, const std::string& work_dir);

// Writes `text` to `path` so that a reader sees the old file or the new one, never a part:
// a temporary file beside it, then a rename. False with `error` set on failure.
bool WriteFileAtomically(const std::string& path, const std::string& text, std::string* error);

}  // namespace drv

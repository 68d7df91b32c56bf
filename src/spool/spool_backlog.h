#pragma once

#include <cstddef>
#include <string>

namespace drv {

// What waits in the spool folder: the *.dd8 files under the spool prefix (the extension in
// any letter case; files being written or set aside do not count).
struct SpoolBacklogScan {
  std::size_t files = 0;
  double oldest_age_seconds = 0;  // of the oldest file's modification time; 0 without files
  bool folder_readable = true;
};

// Lists the folder of `prefix` (as the spool uses it: "spool/" a folder, "" the working
// folder) once. `now_unix_seconds` is the wall time the ages are taken against.
SpoolBacklogScan ScanSpoolBacklog(const std::string& prefix, double now_unix_seconds);

// The wall time in seconds since 1970, as file modification times are given.
double UnixNowSeconds();

}  // namespace drv

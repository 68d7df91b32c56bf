#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "base/clock.h"
#include "serverlink/server_link_port.h"
#include "spool/spool_files.h"

namespace drv {

// Sends the spool back to the server, one file at a time: the first file the folder
// listing yields goes out, and goes again every 3 seconds until the server acknowledges
// it; the acknowledgement deletes it and sends the next one at once, so the spool drains
// at the server's pace. The 200 ms tick is the fallback.
//
// Step() runs on the main thread's tick and on the link thread right after an
// acknowledgement; one step runs at a time. The acknowledgement calls come on the link
// thread.
class SpoolReplay final {
 public:
  static constexpr uint64_t kResendWaitMs = 3000;
  // Connections that may end on one file's message, in a row, before the file is set aside.
  static constexpr int kInterruptionLimit = 3;

  // `link` is nullptr when no server link exists; nothing is replayed then, nor when
  // `send_k8` is false.
  SpoolReplay(const Clock& clock, SpoolFolder& spool, ServerLinkPort* link, bool send_k8);

  void Step();

  // The reply read right after the message of `path` acknowledged it.
  void SpoolAcknowledged(const std::string& path);
  // Any other reply to it: the connection took the message, so it is not what breaks it.
  void ReplayAnswered(const std::string& path);
  // An established connection ended while the message of `path` was on the wire.
  void ReplayInterrupted(const std::string& path);
  void ReleaseReplayWait();

  // Path of the file sent last; empty until the first one goes.
  std::string ReplayPath() const;
  // Wall time the last file went (0 at start-up; a day back after a release), for display.
  DateTime LastReplayTime() const;

 private:
  void ReleaseLocked();

  const Clock& clock_;
  SpoolFolder& spool_;
  ServerLinkPort* link_;
  bool send_k8_;

  std::mutex step_mutex_;  // one step at a time, whichever thread runs it
  mutable std::mutex mutex_;
  std::string replay_path_;
  DateTime last_replay_time_ = 0;
  // Monotonic time of the last send; empty while nothing holds the next one back. The
  // wait runs on this clock so that setting the wall clock back cannot stall the spool.
  std::optional<uint64_t> last_send_mono_;
  std::map<std::string, int> interruptions_;
};

}  // namespace drv

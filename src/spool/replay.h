#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "base/clock.h"
#include "serverlink/server_link_port.h"
#include "serverlink/spool_ack_sink.h"
#include "spool/spool_files.h"

namespace drv {

// Sends the spool back to the server, one file at a time: the first file the folder
// listing yields goes out, and goes again every 3 seconds until the server acknowledges
// it; the acknowledgement deletes it and lets the next one go at once.
//
// Step() runs on the main thread; SpoolAcknowledged() and ReleaseReplayWait() on the
// link thread. The replay state is shared under one mutex, never held across
// EnqueueMessage.
class SpoolReplay final : public SpoolAckSink {
 public:
  static constexpr uint64_t kResendWaitMs = 3000;

  // `link` is nullptr when no server link exists; nothing is replayed then, nor when
  // `send_k8` is false.
  SpoolReplay(const Clock& clock, SpoolFolder& spool, ServerLinkPort* link, bool send_k8);

  // The first action of every 200 ms tick.
  void Step();

  void SpoolAcknowledged() override;
  void ReleaseReplayWait() override;

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

  mutable std::mutex mutex_;
  std::string replay_path_;
  DateTime last_replay_time_ = 0;
  // Monotonic time of the last send; empty while nothing holds the next one back. The
  // wait runs on this clock so that setting the wall clock back cannot stall the spool.
  std::optional<uint64_t> last_send_mono_;
};

}  // namespace drv

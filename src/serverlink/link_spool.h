#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace drv {

// The spool as the server link sees it. Every call comes on the link thread.
class LinkSpool {
 public:
  virtual ~LinkSpool() = default;
  // A live record (mtEvent or mtLinkState) its connection could not deliver: it is kept
  // exactly as if it had arrived while the link was down, and is on disk when this returns.
  virtual void SpoolUndelivered(uint32_t type, std::span<const uint8_t> payload) = 0;
  // The reply read right after the message of spool file `path` was an acknowledgement.
  virtual void SpoolAcknowledged(const std::string& path) = 0;
  // The server answered the message of `path` without acknowledging it.
  virtual void ReplayAnswered(const std::string& path) = 0;
  // An established connection ended while the message of `path` was written or awaited
  // its reply.
  virtual void ReplayInterrupted(const std::string& path) = 0;
  // A connection has just been established: the next replay step may send at once.
  virtual void ReleaseReplayWait() = 0;
};

}  // namespace drv

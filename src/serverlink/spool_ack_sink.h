#pragma once

namespace drv {

// The replay's side of the server link: called on the link thread.
class SpoolAckSink {
 public:
  virtual ~SpoolAckSink() = default;
  // An mtStoredEventAck or mtLinkStateAck arrived: the file sent last is confirmed.
  virtual void SpoolAcknowledged() = 0;
  // A connection has just been established: the next replay tick may send at once.
  virtual void ReleaseReplayWait() = 0;
};

}  // namespace drv

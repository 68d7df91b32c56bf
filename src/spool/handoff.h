#pragma once

#include <cstdint>
#include <span>

#include "base/settings.h"
#include "serverlink/server_link_port.h"
#include "wire/event_record.h"
#include "spool/spool_keeper.h"

namespace drv {

// Chooses the road of every outgoing record of the receiver side: the server link's queue
// while a connection stands and takes it, the spool otherwise. The hand-offs run on the
// main thread; SpoolRecord also on the link thread, for what a connection left undelivered.
class HandOff {
 public:
  // `link` is nullptr when no server link exists. `spool` and `settings` must outlive this.
  HandOff(ServerLinkPort* link, SpoolKeeper& spool, const Settings& settings);

  // Queued as mtEvent, or spooled as mtStoredEvent; events are always spooled when not sent.
  void HandOffEvent(const TEventRecord& record);
  // Queued or spooled under `type`; dropped instead of spooled when NotSendToDiskK8 is set.
  void SendOrSpool(uint32_t type, std::span<const uint8_t> payload);
  // The spool's half of both rules, for a record of live type `type` (mtEvent or any other)
  // that is not going to the server now.
  void SpoolRecord(uint32_t type, std::span<const uint8_t> payload);

 private:
  // True when a connection stands and its queue took the message. While an attempt merely
  // runs, nothing is queued: the record would sit in memory for the whole outage.
  bool TryEnqueue(uint32_t type, std::span<const uint8_t> payload);

  ServerLinkPort* link_;
  SpoolKeeper& spool_;
  const Settings& settings_;
};

}  // namespace drv

#pragma once

#include <cstdint>
#include <span>

#include "app/settings.h"
#include "serverlink/server_link_port.h"
#include "spool/event_record.h"
#include "spool/spool_keeper.h"

namespace drv {

// Chooses the road of every outgoing payload of the receiver side: the server link's queue
// while the link is up and takes it, the spool otherwise. Runs on the main thread.
class HandOff {
 public:
  // `link` is nullptr when no server link exists. `spool` and `settings` must outlive this.
  HandOff(ServerLinkPort* link, SpoolKeeper& spool, const Settings& settings);

  // Queued as mtEvent, or spooled as mtStoredEvent; events are always spooled when not sent.
  void HandOffEvent(const TEventRecord& record);
  // Queued or spooled under `type`; dropped instead of spooled when NotSendToDiskK8 is set.
  void SendOrSpool(uint32_t type, std::span<const uint8_t> payload);

 private:
  // True when the link is up and its queue took the message.
  bool TryEnqueue(uint32_t type, std::span<const uint8_t> payload);

  ServerLinkPort* link_;
  SpoolKeeper& spool_;
  const Settings& settings_;
};

}  // namespace drv

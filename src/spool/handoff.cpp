#include "spool/handoff.h"

#include "wire/message_types.h"

namespace drv {

HandOff::HandOff(ServerLinkPort* link, SpoolKeeper& spool, const Settings& settings)
    : link_(link), spool_(spool), settings_(settings) {}

bool HandOff::TryEnqueue(uint32_t type, std::span<const uint8_t> payload) {
  // A full queue refuses the message: it is then spooled like one that met a link down,
  // rather than lost.
  return link_ != nullptr && link_->ConnectionEstablished() && link_->EnqueueMessage(type, payload);
}

void HandOff::HandOffEvent(const TEventRecord& record) {
  const auto bytes = record.Bytes();
  if (TryEnqueue(mtEvent, bytes)) return;
  SpoolRecord(mtEvent, bytes);
}

void HandOff::SendOrSpool(uint32_t type, std::span<const uint8_t> payload) {
  if (TryEnqueue(type, payload)) return;
  SpoolRecord(type, payload);
}

void HandOff::SpoolRecord(uint32_t type, std::span<const uint8_t> payload) {
  if (type == mtEvent) {
    spool_.Keep(mtStoredEvent, payload);
    return;
  }
  if (settings_.NotSendToDiskK8) return;
  spool_.Keep(type, payload);
}

}  // namespace drv

#pragma once

#include <cstdint>
#include <span>

namespace drv {

// What the receiver side (hand-off, replay, port controls) sees of the server link.
// Both calls are safe from any thread.
class ServerLinkPort {
 public:
  virtual ~ServerLinkPort() = default;
  // ServerConnected: true while a connection attempt runs and while the connection stands.
  virtual bool ServerConnected() const = 0;
  // EnqueueMessage: numbers and queues one message. False when the full queue refused it.
  virtual bool EnqueueMessage(uint32_t type, std::span<const uint8_t> payload) = 0;
};

}  // namespace drv

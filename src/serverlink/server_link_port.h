#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace drv {

// What the receiver side (hand-off, replay, port controls) sees of the server link.
// Every call is safe from any thread.
class ServerLinkPort {
 public:
  virtual ~ServerLinkPort() = default;
  // ServerConnected: true while a connection attempt runs and while the connection stands.
  virtual bool ServerConnected() const = 0;
  // True only while a connection stands: a record queued now has a connection to go on.
  virtual bool ConnectionEstablished() const = 0;
  // EnqueueMessage: numbers and queues one message. False when the full queue refused it.
  virtual bool EnqueueMessage(uint32_t type, std::span<const uint8_t> payload) = 0;
  // Queues the message of spool file `path`; its acknowledgement is matched to that file.
  virtual bool EnqueueReplayed(uint32_t type, std::span<const uint8_t> payload, const std::string& path) = 0;
};

}  // namespace drv

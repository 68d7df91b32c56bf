#pragma once

#include <cstdint>

namespace drv {

// Message type codes of the server protocol. 0x02xxxxxx: the connection's own traffic and
// the greeting; 0x03xxxxxx: event traffic.
enum MessageType : uint32_t {
  mtKeepAlive = 0x02000000,
  mtHello = 0x02000001,
  mtAccepted = 0x02000003,
  mtPoll = 0x02000004,
  mtAccessDenied = 0x02000005,
  mtDisconnect = 0x02FFFFFD,
  mtDropLink = 0x02FFFFFE,
  mtPollAnswer = 0x02FFFFFF,
  mtPortState = 0x02200062,
  mtVersion = 0x02200063,
  mtPortStateChanged = 0x02200064,
  mtFirstNumber = 0x02200065,
  mtEvent = 0x03000020,
  mtStoredEvent = 0x03000032,
  mtStoredEventAck = 0x03000033,
  mtLinkState = 0x0300004E,
  mtLinkStateAck = 0x0300004F,
};

// The constant's name for a known code, nullptr otherwise.
const char* MessageTypeName(uint32_t type);

}  // namespace drv

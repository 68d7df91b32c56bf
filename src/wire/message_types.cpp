#include "wire/message_types.h"

namespace drv {

const char* MessageTypeName(uint32_t type) {
  switch (type) {
    case mtKeepAlive: return "mtKeepAlive";
    case mtHello: return "mtHello";
    case mtAccepted: return "mtAccepted";
    case mtPoll: return "mtPoll";
    case mtAccessDenied: return "mtAccessDenied";
    case mtDisconnect: return "mtDisconnect";
    case mtDropLink: return "mtDropLink";
    case mtPollAnswer: return "mtPollAnswer";
    case mtPortState: return "mtPortState";
    case mtVersion: return "mtVersion";
    case mtPortStateChanged: return "mtPortStateChanged";
    case mtFirstNumber: return "mtFirstNumber";
    case mtEvent: return "mtEvent";
    case mtStoredEvent: return "mtStoredEvent";
    case mtStoredEventAck: return "mtStoredEventAck";
    case mtLinkState: return "mtLinkState";
    case mtLinkStateAck: return "mtLinkStateAck";
  }
  return nullptr;
}

}  // namespace drv

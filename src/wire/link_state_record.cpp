#include "wire/link_state_record.h"

#include "wire/event_record.h"

namespace drv {

std::array<uint8_t, TLinkStateRecord::kSize> TLinkStateRecord::Bytes() const {
  std::array<uint8_t, kSize> out{};
  out[0] = LinkMark;
  out[1] = FirstNumberByte;
  PutDouble(&out[2], TimeStamp);
  out[10] = LinkLost;
  return out;
}

TLinkStateRecord TLinkStateRecord::FromBytes(const std::array<uint8_t, kSize>& in) {
  TLinkStateRecord r;
  r.LinkMark = in[0];
  r.FirstNumberByte = in[1];
  r.TimeStamp = GetDouble(&in[2]);
  r.LinkLost = in[10];
  return r;
}

}  // namespace drv

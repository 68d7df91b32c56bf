#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "base/clock.h"

namespace drv {

// The station-link record sent on every change of StationLinkOk. 11 bytes, little-endian,
// packed, built byte by byte.
struct TLinkStateRecord {
  static constexpr std::size_t kSize = 11;
  static constexpr uint8_t kLinkMark = 0x1F;

  uint8_t LinkMark = kLinkMark;
  uint8_t FirstNumberByte = 0;  // low 8 bits of FirstNumber
  DateTime TimeStamp = 0;       // wall time of the change
  uint8_t LinkLost = 0;         // 1 lost, 0 restored

  std::array<uint8_t, kSize> Bytes() const;
  static TLinkStateRecord FromBytes(const std::array<uint8_t, kSize>& bytes);
};

}  // namespace drv

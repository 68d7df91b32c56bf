#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace drv {

// The greeting the link queues right after each successful connect:
// mtHello, mtPortState, mtFirstNumber, mtVersion.
inline constexpr std::array<uint8_t, 2> kHelloPayload{0x40, 0x00};
inline constexpr std::size_t kPortNameCapacity = 6;

// Length byte, the first (at most six) bytes of the port name, zero padding, open flag.
// The same record goes out under mtPortStateChanged when the operator stops or starts the port.
std::array<uint8_t, 8> PortStateRecord(const std::string& com_port, bool port_open);

// Major, minor, release and build of a dotted version text, each as 16-bit little-endian.
// A text without any dot gives four zeros; a part that is not an integer gives 0.
std::array<uint8_t, 8> VersionRecord(const std::string& version_text);

// The mtFirstNumber payload: the low byte of the setting.
inline uint8_t FirstNumberByte(int32_t first_number) {
  return static_cast<uint8_t>(static_cast<uint32_t>(first_number) & 0xFFu);
}

}  // namespace drv

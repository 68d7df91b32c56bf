#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace drv {

inline constexpr std::size_t kMessageHeaderSize = 18;
inline constexpr std::size_t kTransportHeaderSize = 21;
inline constexpr uint8_t kStartMark = 0xFF;
inline constexpr uint8_t kEndMark = 0xFE;
inline constexpr uint8_t kFrameMark = 0xFF;
inline constexpr uint8_t kFrameMarkAlt = 0xF0;  // also accepted on receipt
// No sane reply is longer; a larger announced length is a failed read, not an allocation.
inline constexpr int32_t kMaxMessageLength = 16 * 1024 * 1024;
inline constexpr std::size_t kBodyPieceSize = 50000;

// Message header (0xFF, type, payload length, sequence, 0xFE) followed by the payload.
std::vector<uint8_t> BuildMessage(uint32_t type, std::span<const uint8_t> payload, int64_t sequence);

// The 21-byte transport header followed by the message: what goes on the wire in one write.
std::vector<uint8_t> BuildFrame(std::span<const uint8_t> message);

// The message length announced by a transport header, or nullopt when its frame mark is
// neither 0xFF nor 0xF0.
std::optional<int32_t> TransportMessageLength(std::span<const uint8_t, kTransportHeaderSize> header);

struct ParsedMessage {
  uint32_t type = 0;
  int32_t payload_length_field = 0;
  int64_t sequence = 0;
  std::vector<uint8_t> payload;  // every byte after the header, or none when the field is 0
};

// A valid message has at least 18 bytes, 0xFF first and 0xFE at offset 17.
std::optional<ParsedMessage> ValidateMessage(std::span<const uint8_t> message);

}  // namespace drv

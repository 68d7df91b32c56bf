#include "wire/frames.h"

#include <algorithm>

#include "wire/event_record.h"

namespace drv {

std::vector<uint8_t> BuildMessage(uint32_t type, std::span<const uint8_t> payload, int64_t sequence) {
  std::vector<uint8_t> message(kMessageHeaderSize + payload.size(), 0);
  message[0] = kStartMark;
  PutLe32(&message[1], type);
  PutLe32(&message[5], static_cast<uint32_t>(payload.size()));
  PutLe64(&message[9], static_cast<uint64_t>(sequence));
  message[17] = kEndMark;
  std::copy(payload.begin(), payload.end(), message.begin() + kMessageHeaderSize);
  return message;
}

std::vector<uint8_t> BuildFrame(std::span<const uint8_t> message) {
  // Bytes 1-4 and 9-16 carry nothing for the server; zero keeps frames reproducible.
  std::vector<uint8_t> frame(kTransportHeaderSize + message.size(), 0);
  const auto length = static_cast<uint32_t>(message.size());
  frame[0] = kFrameMark;
  PutLe32(&frame[5], length);
  PutLe32(&frame[17], length);
  std::copy(message.begin(), message.end(), frame.begin() + kTransportHeaderSize);
  return frame;
}

std::optional<int32_t> TransportMessageLength(std::span<const uint8_t, kTransportHeaderSize> header) {
  if (header[0] != kFrameMark && header[0] != kFrameMarkAlt) return std::nullopt;
  return static_cast<int32_t>(GetLe32(&header[5]));
}

std::optional<ParsedMessage> ValidateMessage(std::span<const uint8_t> message) {
  if (message.size() < kMessageHeaderSize || message[0] != kStartMark || message[17] != kEndMark) {
    return std::nullopt;
  }
  ParsedMessage parsed;
  parsed.type = GetLe32(&message[1]);
  parsed.payload_length_field = static_cast<int32_t>(GetLe32(&message[5]));
  parsed.sequence = static_cast<int64_t>(GetLe64(&message[9]));
  // The byte count comes from the buffer; the field only says whether there is a payload.
  if (parsed.payload_length_field != 0) {
    parsed.payload.assign(message.begin() + kMessageHeaderSize, message.end());
  }
  return parsed;
}

}  // namespace drv

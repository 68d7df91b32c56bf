#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "wire/frames.h"

namespace drv::msgserver {

// One line for a received message: type, sequence, the decoded fields the type carries, and
// the raw payload in hex last, so a reader can compare record bytes exactly.
std::string DescribeMessage(const ParsedMessage& message);

// One line for the bytes of a frame whose message is not valid.
std::string DescribeInvalid(std::span<const uint8_t> message);

std::string Hex(std::span<const uint8_t> bytes);

}  // namespace drv::msgserver

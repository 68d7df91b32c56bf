#include "wire/greeting.h"

#include <algorithm>
#include <string_view>

#include "base/settings.h"

namespace drv {

std::array<uint8_t, 8> PortStateRecord(const std::string& com_port, bool port_open) {
  std::array<uint8_t, 8> record{};
  const std::size_t length = std::min(com_port.size(), kPortNameCapacity);
  record[0] = static_cast<uint8_t>(length);
  std::copy_n(com_port.begin(), length, record.begin() + 1);
  record[7] = port_open ? 1 : 0;
  return record;
}

std::array<uint8_t, 8> VersionRecord(const std::string& version_text) {
  std::array<uint8_t, 8> record{};
  std::string_view rest = version_text;
  if (rest.find('.') == std::string_view::npos) return record;

  std::array<int32_t, 4> numbers{};
  for (int i = 0; i < 3; ++i) {
    const std::size_t dot = rest.find('.');
    // Once the dots run out, the remaining parts read as empty text and the rest stays for
    // the last number: "1.2" is 1.0.0.2.
    const std::string_view part = dot == std::string_view::npos ? std::string_view{} : rest.substr(0, dot);
    numbers[i] = TextToIntOr(part, 0);
    if (dot != std::string_view::npos) rest.remove_prefix(dot + 1);
  }
  numbers[3] = TextToIntOr(rest, 0);

  for (std::size_t i = 0; i < numbers.size(); ++i) {
    const auto value = static_cast<uint16_t>(static_cast<uint32_t>(numbers[i]) & 0xFFFFu);
    record[2 * i] = static_cast<uint8_t>(value & 0xFF);
    record[2 * i + 1] = static_cast<uint8_t>(value >> 8);
  }
  return record;
}

}  // namespace drv

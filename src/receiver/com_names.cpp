#include "receiver/com_names.h"

#include <cctype>
#include <cstdint>
#include <string_view>

namespace drv {

namespace {

constexpr std::string_view kDevicePrefix = "\\\\.\\";
// More digits than any real port number; keeps the parse inside 32 bits.
constexpr size_t kMaxDigits = 9;

bool IsCom(std::string_view text) {
  return text.size() >= 3 && std::toupper(static_cast<unsigned char>(text[0])) == 'C' &&
         std::toupper(static_cast<unsigned char>(text[1])) == 'O' &&
         std::toupper(static_cast<unsigned char>(text[2])) == 'M';
}

}  // namespace

std::string ResolveDevicePath(const std::string& port_name,
                              const std::map<std::string, std::string>& com_map) {
  std::string_view name = port_name;
  if (!name.starts_with(kDevicePrefix)) return {};
  name.remove_prefix(kDevicePrefix.size());
  if (name.starts_with('/')) return std::string(name);
  if (!IsCom(name)) return {};
  const std::string_view digits = name.substr(3);
  if (digits.empty() || digits.size() > kMaxDigits || digits.front() == '0') return {};
  uint32_t number = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return {};
    number = number * 10 + static_cast<uint32_t>(c - '0');
  }
  const std::string key = "COM" + std::to_string(number);
  if (const auto it = com_map.find(key); it != com_map.end()) return it->second;
  return "/dev/ttyS" + std::to_string(number - 1);
}

}  // namespace drv

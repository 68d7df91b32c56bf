#include "message_line.h"

#include <cmath>
#include <cstdio>

#include "base/date_time.h"
#include "wire/message_types.h"
#include "wire/event_record.h"

namespace drv::msgserver {
namespace {

constexpr std::size_t kLinkStateSize = 11;
constexpr std::size_t kPortStateSize = 8;
constexpr std::size_t kVersionSize = 8;

// Records come from the wire, so a time stamp may be any double; only plausible dates are split.
std::string FormatStamp(double value) {
  if (!std::isfinite(value) || value < -657434.0 || value > 2958465.0) return "?";
  const CivilTime t = SplitDateTime(value);
  char text[40];
  std::snprintf(text, sizeof text, "%02d.%02d.%04d %02d:%02d:%02d.%03d", t.day, t.month, t.year, t.hour, t.minute,
                t.second, t.millisecond);
  return text;
}

// Text bytes of records are code page 1251; anything but printable ASCII is escaped so the
// line stays plain on any terminal.
std::string Printable(std::span<const uint8_t> bytes) {
  std::string out;
  for (const uint8_t b : bytes) {
    if (b >= 0x20 && b < 0x7F && b != '\\') {
      out += static_cast<char>(b);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", b);
      out += escaped;
    }
  }
  return out;
}

std::string DescribeFields(uint32_t type, std::span<const uint8_t> p) {
  char text[160];
  switch (type) {
    case mtEvent:
    case mtStoredEvent:
      if (p.size() < TEventRecord::kSize) return {};
      std::snprintf(text, sizeof text, " object=%d code=%s pos4=%u pos56=%u time=%s",
                    static_cast<int32_t>(GetLe32(&p[0])), Printable(p.subspan(5, 2)).c_str(), p[9], p[10],
                    FormatStamp(GetDouble(&p[11])).c_str());
      return text;
    case mtLinkState:
      if (p.size() < kLinkStateSize) return {};
      std::snprintf(text, sizeof text, " first=%u state=%s time=%s", p[1], p[10] != 0 ? "lost" : "restored",
                    FormatStamp(GetDouble(&p[2])).c_str());
      return text;
    case mtPortState:
    case mtPortStateChanged: {
      if (p.size() < kPortStateSize) return {};
      const std::size_t length = p[0] > 6 ? 6 : p[0];
      std::snprintf(text, sizeof text, " port=%s open=%u", Printable(p.subspan(1, length)).c_str(), p[7]);
      return text;
    }
    case mtVersion:
      if (p.size() < kVersionSize) return {};
      std::snprintf(text, sizeof text, " version=%u.%u.%u.%u", p[0] | p[1] << 8, p[2] | p[3] << 8, p[4] | p[5] << 8,
                    p[6] | p[7] << 8);
      return text;
    case mtFirstNumber:
      if (p.empty()) return {};
      std::snprintf(text, sizeof text, " first=%u", p[0]);
      return text;
    default:
      return {};
  }
}

}  // namespace

std::string Hex(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0x0F];
  }
  return out;
}

std::string DescribeMessage(const ParsedMessage& message) {
  std::string line;
  if (const char* name = MessageTypeName(message.type)) {
    line = name;
  } else {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", message.type);
    line = code;
  }
  line += " seq=" + std::to_string(message.sequence);
  line += DescribeFields(message.type, message.payload);
  line += " payload=" + Hex(message.payload);
  return line;
}

std::string DescribeInvalid(std::span<const uint8_t> message) {
  return "invalid length=" + std::to_string(message.size()) + " bytes=" + Hex(message);
}

}  // namespace drv::msgserver

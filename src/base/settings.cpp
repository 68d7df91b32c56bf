#include "base/settings.h"

#include <cstdint>
#include <string_view>

#include "base/date_time.h"
#include "base/ini_file.h"

namespace drv {
namespace {

constexpr std::string_view kPort = "port";
constexpr std::string_view kMain = "main";
constexpr std::string_view kServerHost = "ServerHost";
constexpr std::string_view kComMap = "ComMap";

std::string UpperAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// A value quoted in an operator message: short, and only printable ASCII, since the raw
// bytes are Windows-1251 and the message is UTF-8.
std::string Printable(std::string_view raw) {
  constexpr std::size_t kShown = 40;
  std::string text;
  for (std::size_t i = 0; i < raw.size() && i < kShown; ++i) {
    const auto c = static_cast<unsigned char>(raw[i]);
    text += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
  }
  if (raw.size() > kShown) text += "...";
  return text;
}

// Reads up to `digits` decimal digits (at least one) from text at pos.
bool ReadField(std::string_view text, std::size_t& pos, std::size_t digits, int& value) {
  const std::size_t start = pos;
  value = 0;
  while (pos < text.size() && pos - start < digits && text[pos] >= '0' && text[pos] <= '9') {
    value = value * 10 + (text[pos] - '0');
    ++pos;
  }
  return pos > start;
}

}  // namespace

int32_t TextToIntOr(std::string_view text, int32_t fallback) {
  std::size_t pos = 0;
  // Spaces only: a tab is a character like any other and spoils the number.
  while (pos < text.size() && text[pos] == ' ') ++pos;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  bool hex = false;
  if (pos < text.size() && (text[pos] == '$' || text[pos] == 'x' || text[pos] == 'X')) {
    hex = true;
    pos += 1;
  } else if (pos + 1 < text.size() && text[pos] == '0' && (text[pos + 1] == 'x' || text[pos + 1] == 'X')) {
    hex = true;
    pos += 2;
  }
  if (pos == text.size()) return fallback;

  // Hexadecimal may fill all 32 bits ($FFFFFFFF is -1); decimal must fit a signed 32-bit value.
  const uint64_t limit = hex ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
  uint64_t magnitude = 0;
  for (; pos < text.size(); ++pos) {
    const char c = text[pos];
    unsigned digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (hex && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (hex && c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return fallback;
    }
    magnitude = magnitude * (hex ? 16u : 10u) + digit;
    if (magnitude > limit) return fallback;
  }
  auto bits = static_cast<uint32_t>(magnitude);
  if (negative) bits = 0u - bits;
  return static_cast<int32_t>(bits);
}

bool ParseTimeOfDay(const std::string& text, DateTime& span) {
  std::size_t pos = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
  if (!ReadField(text, pos, 2, hour) || pos >= text.size() || text[pos++] != ':') return false;
  if (!ReadField(text, pos, 2, minute)) return false;
  if (pos < text.size()) {
    if (text[pos++] != ':' || !ReadField(text, pos, 2, second)) return false;
    if (pos < text.size()) {
      if (text[pos++] != '.') return false;
      const std::size_t start = pos;
      if (!ReadField(text, pos, 3, millisecond)) return false;
      // ".5" is half a second, as a fraction is read.
      for (std::size_t n = pos - start; n < 3; ++n) millisecond *= 10;
      if (pos != text.size()) return false;
    }
  }
  if (hour > 23 || minute > 59 || second > 59) return false;
  const int64_t ms = ((int64_t{hour} * 60 + minute) * 60 + second) * 1000 + millisecond;
  span = static_cast<double>(ms) / kMsPerDay;
  return true;
}

std::string NormaliseReg(const std::string& value) {
  if (value.empty()) return value;
  std::string result = value;
  if (result.front() != ',') result.insert(result.begin(), ',');
  if (result.back() != ',') result.push_back(',');
  return result;
}

Settings LoadSettings(const std::string& ini_path, std::vector<std::string>* problems) {
  const IniFile ini = IniFile::Load(ini_path);
  Settings s;
  s.ComPort = ini.ReadString(kPort, "ComPort", s.ComPort);
  s.BaudRate = ini.ReadString(kPort, "BaudRate", s.BaudRate);
  s.DataBits = ini.ReadString(kPort, "DataBits", s.DataBits);
  s.Parity = ini.ReadString(kPort, "Parity", s.Parity);
  s.StopBits = ini.ReadString(kPort, "StopBits", s.StopBits);
  s.DTR = ini.ReadBool(kPort, "DTR", s.DTR);
  s.Reg = NormaliseReg(ini.ReadString(kMain, "Reg", s.Reg));
  s.Log = ini.ReadBool(kMain, "Log", s.Log);
  s.SendK8 = ini.ReadBool(kMain, "SendK8", s.SendK8);
  s.NotSendToDiskK8 = ini.ReadBool(kMain, "NotSendToDiskK8", s.NotSendToDiskK8);
  s.FirstNumber = ini.ReadInteger(kMain, "FirstNumber", s.FirstNumber);
  s.PathForSoob = ini.ReadString(kMain, "PathForSoob", s.PathForSoob);

  // A bad Attention keeps the default so that start-up still opens the port and the link.
  const std::string attention = ini.ReadString(kMain, "Attention", FormatTime(s.Attention));
  DateTime span = 0;
  if (ParseTimeOfDay(attention, span)) {
    s.Attention = span;
  } else if (problems != nullptr) {
    problems->push_back("Attention \"" + Printable(attention) + "\" is not a time of day; using " +
                        FormatTime(s.Attention));
  }

  s.Caption = ini.ReadString(kMain, "Caption", s.Caption);
  s.LogMaxKB = ini.ReadInteger(kMain, "LogMaxKB", s.LogMaxKB);
  s.LogFiles = ini.ReadInteger(kMain, "LogFiles", s.LogFiles);
  s.MetricsFile = ini.ReadString(kMain, "MetricsFile", s.MetricsFile);

  for (const std::string& key : ini.Keys(kComMap)) {
    s.ComMap.emplace(UpperAscii(key), ini.ReadString(kComMap, key, std::string()));
  }
  return s;
}

ServerHostSettings LoadServerHost(const std::string& ini_path) {
  const IniFile ini = IniFile::Load(ini_path);
  ServerHostSettings host;
  host.Address = ini.ReadString(kServerHost, "Address", host.Address);
  host.Port = ini.ReadInteger(kServerHost, "Port", host.Port);
  return host;
}

void SaveComPort(const std::string& ini_path, const std::string& com_port) {
  IniFile::WriteString(ini_path, kPort, "ComPort", com_port);
}

}  // namespace drv

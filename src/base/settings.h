#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/clock.h"

namespace drv {

inline constexpr const char kIniFileName[] = "drvlarna.ini";
inline constexpr const char kNoPortMarker[] = "COM255";

// The values of "drvlarna.ini", each under the name of its key. Texts are kept as the
// file's bytes (Windows-1251); nothing here converts them.
struct Settings {
  // [port]
  std::string ComPort = kNoPortMarker;
  std::string BaudRate = "9600";
  std::string DataBits = "8";
  std::string Parity = "N";
  std::string StopBits = "1";
  bool DTR = false;
  // [main]
  std::string Reg;  // already normalised: empty, or with a comma at both ends
  bool Log = true;
  bool SendK8 = true;
  bool NotSendToDiskK8 = false;
  int32_t FirstNumber = 31;
  std::string PathForSoob;
  DateTime Attention = 10.0 / 1440.0;  // a span in days
  std::string Caption;
  // Size limits of drvlarna.log and drvlarna-errors.log: a file that would grow past
  // LogMaxKB is renamed NAME.1 (older ones shift), keeping LogFiles of them. 0 or less: no limit.
  int32_t LogMaxKB = 10240;
  int32_t LogFiles = 5;
  // Prometheus text file written every 10 s; empty: none.
  std::string MetricsFile;
  // [ComMap]: COM name (upper case, e.g. "COM3") to a device path on this machine.
  std::map<std::string, std::string> ComMap;
};

// [ServerHost], read by the server link before every connection attempt.
struct ServerHostSettings {
  std::string Address = "127.0.0.1";
  int32_t Port = 12543;
};

// Reads the start-up settings from an INI file. A missing file, section or key gives the
// default. Problems that the operator should hear of (an invalid Attention, which then
// keeps its default) are appended to `problems` as readable texts.
Settings LoadSettings(const std::string& ini_path, std::vector<std::string>* problems = nullptr);
ServerHostSettings LoadServerHost(const std::string& ini_path);

// Writes [port] ComPort, keeping every other byte of the file. Throws std::runtime_error on failure.
void SaveComPort(const std::string& ini_path, const std::string& com_port);

// Comma at both ends of a non-empty filter list.
std::string NormaliseReg(const std::string& value);

// Parses a time of day "h:mm" or "h:mm:ss" into a span in days; false when it is not one.
bool ParseTimeOfDay(const std::string& text, DateTime& span);

// The integer rule shared by the settings, the record's numeric fields and the version text:
// leading spaces (not tabs) skipped, optional sign, hexadecimal with "$", "x", "X", "0x" or "0X", no
// trailing characters, signed 32-bit range. Anything else gives `fallback`.
int32_t TextToIntOr(std::string_view text, int32_t fallback);

}  // namespace drv

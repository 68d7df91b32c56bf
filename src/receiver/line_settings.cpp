#include "receiver/line_settings.h"

#include <string_view>

namespace drv {

namespace {

struct BaudEntry {
  std::string_view text;
  TBaudRate rate;
};

constexpr BaudEntry kBaudRates[] = {
    {"110", br110},       {"300", br300},       {"600", br600},         {"1200", br1200},
    {"2400", br2400},     {"4800", br4800},     {"9600", br9600},       {"14400", br14400},
    {"19200", br19200},   {"38400", br38400},   {"56000", br56000},     {"57600", br57600},
    {"115200", br115200}, {"128000", br128000}, {"256000", br256000},
};

struct DataBitsEntry {
  std::string_view text;
  TDataBits bits;
};

constexpr DataBitsEntry kDataBits[] = {
    {"5", db5BITS}, {"6", db6BITS}, {"7", db7BITS}, {"8", db8BITS}};

}  // namespace

void ApplyConfiguredLineSettings(TSerialPortDriver& port, const Settings& settings) {
  for (const auto& entry : kBaudRates) {
    if (settings.BaudRate == entry.text) {
      port.SetBaudRate(entry.rate);
      break;
    }
  }
  for (const auto& entry : kDataBits) {
    if (settings.DataBits == entry.text) {
      port.SetDataBits(entry.bits);
      break;
    }
  }
  // The receiver's line knows no parity and at most two stop bits; other values are left alone.
  if (settings.Parity == "N") port.SetParity(ptNONE);
  if (settings.StopBits == "1") port.SetStopBits(sb1BITS);
  if (settings.StopBits == "2") port.SetStopBits(sb2BITS);
}

}  // namespace drv

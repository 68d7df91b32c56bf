#pragma once

#include <map>
#include <string>

namespace drv {

// Turns a Windows-style port name ("\\.\COM3") into a device path on this machine.
// "\\.\COMn" (COM in any letter case, n a decimal number from 1 without leading zeros) gives
// com_map["COMn"] when the map has it, else "/dev/ttyS<n-1>". A name whose part after "\\.\"
// starts with '/' is a device path already and is taken as it stands. Anything else gives ""
// so that the open fails.
std::string ResolveDevicePath(const std::string& port_name,
                              const std::map<std::string, std::string>& com_map);

}  // namespace drv

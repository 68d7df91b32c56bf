#include "receiver/com_names.h"

#include <gtest/gtest.h>

namespace drv {
namespace {

TEST(ResolveDevicePathTest, MapsWindowsPortNamesToDevices) {
  const std::map<std::string, std::string> com_map = {{"COM3", "/dev/ttyUSB0"}, {"COM12", "/dev/pts/4"}};
  const struct {
    const char* name;
    const char* expected;
  } cases[] = {
      {"\\\\.\\COM1", "/dev/ttyS0"},
      {"\\\\.\\COM2", "/dev/ttyS1"},
      {"\\\\.\\COM3", "/dev/ttyUSB0"},    // mapped
      {"\\\\.\\com3", "/dev/ttyUSB0"},    // COM in any case, as on Windows
      {"\\\\.\\Com12", "/dev/pts/4"},
      {"\\\\.\\COM32", "/dev/ttyS31"},
      {"\\\\.\\com255", "/dev/ttyS254"},  // only the exact marker means "no port"; callers see to it
      {"\\\\.\\/dev/ttyACM0", "/dev/ttyACM0"},  // a path stands as it is
      {"\\\\.\\", ""},
      {"\\\\.\\COM", ""},
      {"\\\\.\\COM0", ""},
      {"\\\\.\\COM03", ""},
      {"\\\\.\\COMx", ""},
      {"\\\\.\\COM1x", ""},
      {"\\\\.\\COM-1", ""},
      {"\\\\.\\COM 1", ""},
      {"\\\\.\\COM99999999999", ""},
      {"\\\\.\\LPT1", ""},
      {"COM1", ""},
      {"/dev/ttyS0", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ResolveDevicePath(c.name, com_map), c.expected) << c.name;
}

}  // namespace
}  // namespace drv

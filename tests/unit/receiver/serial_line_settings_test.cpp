#include "receiver/line_settings.h"

#include <gtest/gtest.h>

#include "support/fake_clock.h"
#include "support/fake_serial_device.h"

namespace drv {
namespace {

struct LineCase {
  const char* name;
  const char* baud;
  const char* data_bits;
  const char* parity;
  const char* stop_bits;
  uint32_t expected_rate;
  TDataBits expected_bits;
  TStopBits expected_stop;
};

class LineSettingsTest : public ::testing::Test {
 protected:
  test::FakeSerialDevice device;
  test::FakePollTimer timer;
  test::FakeClock clock;
};

TEST_F(LineSettingsTest, ConfiguredValuesMapExactlyOrLeaveTheSetting) {
  const LineCase cases[] = {
      {"defaults", "9600", "8", "N", "1", 9600, db8BITS, sb1BITS},
      {"19200", "19200", "8", "N", "1", 19200, db8BITS, sb1BITS},
      {"110", "110", "8", "N", "1", 110, db8BITS, sb1BITS},
      {"256000", "256000", "8", "N", "1", 256000, db8BITS, sb1BITS},
      {"blank inside the rate", "19 200", "8", "N", "1", 9600, db8BITS, sb1BITS},
      {"rate with a trailing blank", "19200 ", "8", "N", "1", 9600, db8BITS, sb1BITS},
      {"unlisted rate", "31250", "8", "N", "1", 9600, db8BITS, sb1BITS},
      {"5 data bits", "9600", "5", "N", "1", 9600, db5BITS, sb1BITS},
      {"7 data bits", "9600", "7", "N", "1", 9600, db7BITS, sb1BITS},
      {"9 data bits", "9600", "9", "N", "1", 9600, db8BITS, sb1BITS},
      {"2 stop bits", "9600", "8", "N", "2", 9600, db8BITS, sb2BITS},
      {"1.5 stop bits", "9600", "8", "N", "1.5", 9600, db8BITS, sb1BITS},
      {"even parity is not recognised", "9600", "8", "E", "1", 9600, db8BITS, sb1BITS},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TSerialPortDriver port(device, timer, clock);
    Settings settings;
    settings.BaudRate = c.baud;
    settings.DataBits = c.data_bits;
    settings.Parity = c.parity;
    settings.StopBits = c.stop_bits;
    ApplyConfiguredLineSettings(port, settings);
    EXPECT_EQ(port.BaudRateValue(), c.expected_rate);
    EXPECT_EQ(port.DataBits(), c.expected_bits);
    EXPECT_EQ(port.StopBits(), c.expected_stop);
    EXPECT_EQ(port.Parity(), ptNONE);
  }
}

TEST_F(LineSettingsTest, UnmatchedValuesKeepWhatTheComponentHad) {
  TSerialPortDriver port(device, timer, clock);
  port.SetBaudRate(br38400);
  port.SetParity(ptODD);
  port.SetStopBits(sb2BITS);
  port.SetDataBits(db6BITS);
  Settings settings;
  settings.BaudRate = "fast";
  settings.DataBits = "eight";
  settings.Parity = "E";
  settings.StopBits = "1.5";
  ApplyConfiguredLineSettings(port, settings);
  EXPECT_EQ(port.BaudRate(), br38400);
  EXPECT_EQ(port.Parity(), ptODD);
  EXPECT_EQ(port.StopBits(), sb2BITS);
  EXPECT_EQ(port.DataBits(), db6BITS);
  // Case counts: "n" is not "N".
  settings.Parity = "n";
  ApplyConfiguredLineSettings(port, settings);
  EXPECT_EQ(port.Parity(), ptODD);
  settings.Parity = "N";
  ApplyConfiguredLineSettings(port, settings);
  EXPECT_EQ(port.Parity(), ptNONE);
}

}  // namespace
}  // namespace drv

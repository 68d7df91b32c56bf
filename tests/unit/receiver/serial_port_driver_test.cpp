#include "receiver/serial_port_driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "support/fake_clock.h"
#include "support/fake_serial_device.h"

namespace drv {
namespace {

using test::FakeClock;
using test::FakePollTimer;
using test::FakeSerialDevice;
using Bytes = std::vector<uint8_t>;

class SerialPortDriverTest : public ::testing::Test {
 protected:
  SerialPortDriverTest() {
    driver.OnReceivePacket = [this](const uint8_t* data, uint32_t size) {
      packets.emplace_back(data, data + size);
      pointers.push_back(data);
    };
    driver.OnReceiveData = [this](const uint8_t* data, uint32_t size) { raw.emplace_back(data, data + size); };
  }

  // The settings the operator window runs with.
  void UseWindowSettings() {
    driver.SetPort(pnCustom);
    driver.SetPacketSize(256);
    driver.SetPacketTimeout(200);
    driver.SetPacketMode(pmPass);
    driver.SetPollingDelay(5);
  }

  void OpenWithWindowSettings() {
    UseWindowSettings();
    ASSERT_TRUE(driver.OpenPort());
  }

  // One timer period, then one tick.
  void Tick(uint64_t ms = 5) {
    clock.Advance(ms);
    driver.PollPort();
  }

  std::vector<size_t> PacketSizes() const {
    std::vector<size_t> sizes;
    for (const auto& p : packets) sizes.push_back(p.size());
    return sizes;
  }

  FakeSerialDevice device;
  FakePollTimer timer;
  FakeClock clock;
  TSerialPortDriver driver{device, timer, clock};
  std::vector<Bytes> packets;
  std::vector<const uint8_t*> pointers;
  std::vector<Bytes> raw;
};

TEST_F(SerialPortDriverTest, StartsWithTheComponentDefaults) {
  EXPECT_EQ(driver.Port(), pnCOM1);
  EXPECT_EQ(driver.PortName(), "\\\\.\\COM1");
  EXPECT_EQ(driver.BaudRate(), br9600);
  EXPECT_EQ(driver.BaudRateValue(), 9600u);
  EXPECT_EQ(driver.DataBits(), db8BITS);
  EXPECT_EQ(driver.StopBits(), sb1BITS);
  EXPECT_EQ(driver.Parity(), ptNONE);
  EXPECT_EQ(driver.HwFlow(), hfNONERTSON);
  EXPECT_EQ(driver.SwFlow(), sfNONE);
  EXPECT_EQ(driver.InBufSize(), 2048u);
  EXPECT_EQ(driver.OutBufSize(), 2048u);
  EXPECT_EQ(driver.PacketSize(), -1);
  EXPECT_EQ(driver.PacketTimeout(), -1);
  EXPECT_EQ(driver.PacketMode(), pmDiscard);
  EXPECT_EQ(driver.PollingDelay(), 50);
  EXPECT_TRUE(driver.EnableDTROnOpen());
  EXPECT_FALSE(driver.PortOpen());
  EXPECT_EQ(driver.PacketStartTick(), -1);
}

struct SetterCase {
  const char* name;
  std::function<void(TSerialPortDriver&)> write;
  std::function<void(const TSerialPortDriver&)> check;
};

TEST_F(SerialPortDriverTest, SettersStoreAndClampWhileClosed) {
  const SetterCase cases[] = {
      {"PollingDelay 0 -> 5", [](auto& d) { d.SetPollingDelay(0); }, [](auto& d) { EXPECT_EQ(d.PollingDelay(), 5); }},
      {"PollingDelay 4 -> 5", [](auto& d) { d.SetPollingDelay(4); }, [](auto& d) { EXPECT_EQ(d.PollingDelay(), 5); }},
      {"PollingDelay 7", [](auto& d) { d.SetPollingDelay(7); }, [](auto& d) { EXPECT_EQ(d.PollingDelay(), 7); }},
      {"PacketTimeout 0 -> -1", [](auto& d) { d.SetPacketTimeout(0); }, [](auto& d) { EXPECT_EQ(d.PacketTimeout(), -1); }},
      {"PacketTimeout -7 -> -1", [](auto& d) { d.SetPacketTimeout(-7); }, [](auto& d) { EXPECT_EQ(d.PacketTimeout(), -1); }},
      {"PacketTimeout 1", [](auto& d) { d.SetPacketTimeout(1); }, [](auto& d) { EXPECT_EQ(d.PacketTimeout(), 1); }},
      {"InBufSize 100 -> 128", [](auto& d) { d.SetInBufSize(100); }, [](auto& d) { EXPECT_EQ(d.InBufSize(), 128u); }},
      {"InBufSize 10000 -> 8192", [](auto& d) { d.SetInBufSize(10000); }, [](auto& d) { EXPECT_EQ(d.InBufSize(), 8192u); }},
      {"OutBufSize 100 -> 128", [](auto& d) { d.SetOutBufSize(100); }, [](auto& d) { EXPECT_EQ(d.OutBufSize(), 128u); }},
      {"OutBufSize 10000 -> 8192", [](auto& d) { d.SetOutBufSize(10000); }, [](auto& d) { EXPECT_EQ(d.OutBufSize(), 8192u); }},
      {"PacketSize 0 -> raw", [](auto& d) { d.SetPacketSize(0); }, [](auto& d) { EXPECT_EQ(d.PacketSize(), -1); }},
      {"PacketSize -3 -> raw", [](auto& d) { d.SetPacketSize(-3); }, [](auto& d) { EXPECT_EQ(d.PacketSize(), -1); }},
      {"PacketSize 4096 grows InBufSize", [](auto& d) { d.SetPacketSize(4096); },
       [](auto& d) {
         EXPECT_EQ(d.PacketSize(), 4096);
         EXPECT_EQ(d.InBufSize(), 4096u);
       }},
      {"PacketSize 10000 is cut to the largest buffer", [](auto& d) { d.SetPacketSize(10000); },
       [](auto& d) {
         EXPECT_EQ(d.PacketSize(), 8192);
         EXPECT_EQ(d.InBufSize(), 8192u);
       }},
      {"InBufSize below PacketSize grows back to it",
       [](auto& d) {
         d.SetPacketSize(256);
         d.SetInBufSize(130);
       },
       [](auto& d) {
         EXPECT_EQ(d.InBufSize(), 256u);
         EXPECT_EQ(d.PacketSize(), 256);
       }},
      {"Port COM12 writes the name", [](auto& d) { d.SetPort(pnCOM12); },
       [](auto& d) {
         EXPECT_EQ(d.Port(), pnCOM12);
         EXPECT_EQ(d.PortName(), "\\\\.\\COM12");
       }},
      {"Port custom keeps the name", [](auto& d) { d.SetPort(pnCustom); },
       [](auto& d) {
         EXPECT_EQ(d.Port(), pnCustom);
         EXPECT_EQ(d.PortName(), "\\\\.\\COM1");
       }},
      {"PortName makes the port custom", [](auto& d) { d.SetPortName("\\\\.\\COM7"); },
       [](auto& d) {
         EXPECT_EQ(d.Port(), pnCustom);
         EXPECT_EQ(d.PortName(), "\\\\.\\COM7");
       }},
      {"BaudRate sets the value", [](auto& d) { d.SetBaudRate(br115200); },
       [](auto& d) { EXPECT_EQ(d.BaudRateValue(), 115200u); }},
      {"BaudRateValue makes the rate custom", [](auto& d) { d.SetBaudRateValue(31250); },
       [](auto& d) {
         EXPECT_EQ(d.BaudRate(), brCustom);
         EXPECT_EQ(d.BaudRateValue(), 31250u);
       }},
      {"BaudRate custom keeps the value", [](auto& d) { d.SetBaudRate(brCustom); },
       [](auto& d) {
         EXPECT_EQ(d.BaudRate(), brCustom);
         EXPECT_EQ(d.BaudRateValue(), 9600u);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSerialDevice dev;
    FakePollTimer tim;
    TSerialPortDriver d(dev, tim, clock);
    c.write(d);
    c.check(d);
    EXPECT_TRUE(dev.applied.empty());  // nothing reaches a closed device
  }
}

TEST_F(SerialPortDriverTest, BaudRateToValueSpellsEveryNamedRate) {
  const std::pair<TBaudRate, uint32_t> rates[] = {
      {br110, 110},       {br300, 300},       {br600, 600},       {br1200, 1200},     {br2400, 2400},
      {br4800, 4800},     {br9600, 9600},     {br14400, 14400},   {br19200, 19200},   {br38400, 38400},
      {br56000, 56000},   {br57600, 57600},   {br115200, 115200}, {br128000, 128000}, {br256000, 256000}};
  for (const auto& [rate, value] : rates) EXPECT_EQ(driver.BaudRateToValue(rate), value) << int(rate);
  driver.SetBaudRateValue(31250);
  EXPECT_EQ(driver.BaudRateToValue(brCustom), 31250u);
}

TEST_F(SerialPortDriverTest, OpenAppliesTheLineAndStartsPolling) {
  OpenWithWindowSettings();
  EXPECT_TRUE(driver.PortOpen());
  EXPECT_EQ(device.opened_names, std::vector<std::string>{"\\\\.\\COM1"});
  ASSERT_EQ(device.applied.size(), 1u);
  const LineSettings& s = device.applied[0];
  EXPECT_EQ(s.baud_rate, 9600u);
  EXPECT_EQ(s.data_bits, 8);
  EXPECT_EQ(s.parity, LineParity::None);
  EXPECT_EQ(s.stop_bits, LineStopBits::One);
  EXPECT_TRUE(s.dtr);
  EXPECT_EQ(s.rts, RtsControl::High);
  EXPECT_FALSE(s.cts_flow);
  EXPECT_FALSE(s.xon_xoff);
  EXPECT_EQ(s.xon_char, 0x11);
  EXPECT_EQ(s.xoff_char, 0x13);
  EXPECT_EQ(s.xon_limit, 512u);
  EXPECT_EQ(s.xoff_limit, 512u);
  EXPECT_EQ(s.in_queue_size, 2048u);
  EXPECT_EQ(s.out_queue_size, 2048u);
  EXPECT_EQ(device.purges, (std::vector<std::pair<bool, bool>>{{true, true}}));
  EXPECT_EQ(timer.starts, std::vector<uint32_t>{5});
}

TEST_F(SerialPortDriverTest, LineSettingsFollowTheProperties) {
  driver.SetBaudRate(br19200);
  driver.SetDataBits(db7BITS);
  driver.SetParity(ptMARK);
  driver.SetStopBits(sb2BITS);
  driver.SetHwFlow(hfRTSCTS);
  driver.SetSwFlow(sfXONXOFF);
  driver.SetEnableDTROnOpen(false);
  driver.SetInBufSize(1000);
  driver.SetOutBufSize(300);
  ASSERT_TRUE(driver.OpenPort());
  const LineSettings& s = device.applied.back();
  EXPECT_EQ(s.baud_rate, 19200u);
  EXPECT_EQ(s.data_bits, 7);
  EXPECT_EQ(s.parity, LineParity::Mark);
  EXPECT_EQ(s.stop_bits, LineStopBits::Two);
  EXPECT_FALSE(s.dtr);
  EXPECT_EQ(s.rts, RtsControl::Handshake);
  EXPECT_TRUE(s.cts_flow);
  EXPECT_TRUE(s.xon_xoff);
  EXPECT_EQ(s.xon_limit, 250u);
  EXPECT_EQ(s.in_queue_size, 1000u);
  EXPECT_EQ(s.out_queue_size, 300u);

  const std::pair<THwFlowControl, RtsControl> rts[] = {{hfNONE, RtsControl::Low},
                                                       {hfNONERTSON, RtsControl::High},
                                                       {hfRTSTOG, RtsControl::Toggle}};
  for (const auto& [flow, expected] : rts) {
    driver.SetHwFlow(flow);
    EXPECT_EQ(device.applied.back().rts, expected) << int(flow);
    EXPECT_FALSE(device.applied.back().cts_flow);
  }
}

TEST_F(SerialPortDriverTest, OpenOnAnOpenPortChangesNothing) {
  OpenWithWindowSettings();
  driver.SetPortName("\\\\.\\COM9");
  driver.SetPort(pnCOM4);
  EXPECT_TRUE(driver.OpenPort());
  EXPECT_EQ(driver.PortName(), "\\\\.\\COM1");
  EXPECT_EQ(driver.Port(), pnCustom);
  EXPECT_EQ(device.opened_names.size(), 1u);
  EXPECT_EQ(device.applied.size(), 1u);
  EXPECT_EQ(timer.starts.size(), 1u);
}

TEST_F(SerialPortDriverTest, BufferSizesAreIgnoredWhileOpen) {
  OpenWithWindowSettings();
  driver.SetInBufSize(100);
  driver.SetOutBufSize(10000);
  EXPECT_EQ(driver.InBufSize(), 2048u);
  EXPECT_EQ(driver.OutBufSize(), 2048u);
  // A packet larger than the buffer cannot grow it while open, so it is cut to the buffer.
  driver.SetPacketSize(4096);
  EXPECT_EQ(driver.PacketSize(), 2048);
  EXPECT_EQ(driver.InBufSize(), 2048u);
}

struct OpenFailureCase {
  const char* name;
  std::function<void(FakeSerialDevice&)> arrange;
  int expected_closes;
};

TEST_F(SerialPortDriverTest, FailedOpenLeavesThePortClosed) {
  const OpenFailureCase cases[] = {
      {"device refuses", [](auto& d) { d.fail_open = true; }, 0},
      {"device throws", [](auto& d) { d.throw_on_open = true; }, 0},
      {"line settings refused", [](auto& d) { d.fail_apply = true; }, 1},
      {"purge refused", [](auto& d) { d.fail_purge = true; }, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSerialDevice dev;
    FakePollTimer tim;
    TSerialPortDriver d(dev, tim, clock);
    c.arrange(dev);
    EXPECT_FALSE(d.OpenPort());
    EXPECT_FALSE(d.PortOpen());
    EXPECT_FALSE(dev.open);
    EXPECT_EQ(dev.close_calls, c.expected_closes);
    EXPECT_FALSE(tim.active);
    EXPECT_TRUE(tim.starts.empty());
  }
}

TEST_F(SerialPortDriverTest, CloseStopsPollingAndFreesTheDevice) {
  OpenWithWindowSettings();
  driver.ClosePort();
  EXPECT_FALSE(driver.PortOpen());
  EXPECT_FALSE(device.open);
  EXPECT_FALSE(timer.active);
  driver.ClosePort();  // already closed: nothing more
  EXPECT_EQ(device.close_calls, 1);
  EXPECT_EQ(timer.stops, 1);
  // Closed again, the names may be written.
  driver.SetPortName("\\\\.\\COM3");
  EXPECT_EQ(driver.PortName(), "\\\\.\\COM3");
}

TEST_F(SerialPortDriverTest, DestructionClosesAnOpenPort) {
  FakeSerialDevice dev;
  FakePollTimer tim;
  {
    TSerialPortDriver d(dev, tim, clock);
    ASSERT_TRUE(d.OpenPort());
  }
  EXPECT_FALSE(dev.open);
  EXPECT_FALSE(tim.active);
}

TEST_F(SerialPortDriverTest, ModemLinesReachOnlyAnOpenDevice) {
  driver.SetDTRLine(true);
  driver.SetRTSLine(false);
  EXPECT_TRUE(device.dtr_calls.empty());
  EXPECT_TRUE(device.rts_calls.empty());
  EXPECT_FALSE(driver.PurgeBuffers(true, true));
  EXPECT_FALSE(driver.ApplyLineSettings());
  EXPECT_TRUE(device.purges.empty());
  ASSERT_TRUE(driver.OpenPort());
  driver.SetDTRLine(false);
  driver.SetRTSLine(true);
  EXPECT_EQ(device.dtr_calls, std::vector<bool>{false});
  EXPECT_EQ(device.rts_calls, std::vector<bool>{true});
}

TEST_F(SerialPortDriverTest, PollingDelayRestartsTheTimerOnlyOnChangeWhileOpen) {
  driver.SetPollingDelay(10);  // closed: stored, no timer
  EXPECT_TRUE(timer.starts.empty());
  ASSERT_TRUE(driver.OpenPort());
  EXPECT_EQ(timer.starts, std::vector<uint32_t>{10});
  driver.SetPollingDelay(10);
  EXPECT_EQ(timer.stops, 0);
  driver.SetPollingDelay(2);  // becomes 5
  EXPECT_EQ(timer.stops, 1);
  EXPECT_EQ(timer.starts, (std::vector<uint32_t>{10, 5}));
  driver.SetPollingDelay(0);  // 5 again: no restart
  EXPECT_EQ(timer.starts.size(), 2u);
  EXPECT_TRUE(timer.active);
}

TEST_F(SerialPortDriverTest, LineSettingWhileOpenIsAppliedAndDropsWaitingInput) {
  OpenWithWindowSettings();
  device.Receive(30);
  Tick();
  ASSERT_NE(driver.PacketStartTick(), -1);
  driver.SetBaudRate(br19200);
  EXPECT_EQ(device.applied.size(), 2u);
  EXPECT_EQ(device.applied.back().baud_rate, 19200u);
  EXPECT_TRUE(device.input.empty());
  EXPECT_EQ(driver.PacketStartTick(), -1);
  // A refused setting leaves the port open and says nothing.
  device.fail_apply = true;
  driver.SetParity(ptEVEN);
  EXPECT_TRUE(driver.PortOpen());
}

TEST_F(SerialPortDriverTest, PacketTransferTimeCountsTenBitsPerCharacter) {
  driver.SetBaudRateValue(20000);  // 0.5 ms per character: exposes the rounding of ties
  const struct {
    TBaudRate rate;
    uint32_t count;
    int32_t ms;
  } cases[] = {
      {br9600, 256, 267},   {br19200, 256, 133}, {br115200, 256, 22}, {br256000, 256, 10},
      {br110, 1, 91},       {br9600, 0, 0},      {brCustom, 1, 0},    {brCustom, 3, 2},
      {brCustom, 5, 2},     {brCustom, 7, 4},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(driver.PacketTransferTime(c.rate, c.count), c.ms) << int(c.rate) << " x " << c.count;
  }
}

TEST_F(SerialPortDriverTest, PartialPacketWaitsUntilPastItsTimeout) {
  OpenWithWindowSettings();
  device.Receive(20);
  Tick();  // first seen here
  device.Receive(10, 20);  // joins the packet; the time still counts from the first bytes
  Tick(195);
  Tick(5);  // exactly 200 ms: not yet
  EXPECT_TRUE(packets.empty());
  Tick(1);
  ASSERT_EQ(packets.size(), 1u);
  Bytes expected(30);
  for (size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(packets[0], expected);
  EXPECT_EQ(driver.PacketStartTick(), -1);
  Tick(500);
  EXPECT_EQ(packets.size(), 1u);
}

TEST_F(SerialPortDriverTest, DiscardModeConsumesThePartialPacket) {
  OpenWithWindowSettings();
  driver.SetPacketMode(pmDiscard);
  device.Receive(30);
  Tick();
  Tick(201);
  EXPECT_TRUE(packets.empty());
  EXPECT_TRUE(device.input.empty());
  EXPECT_EQ(driver.PacketStartTick(), -1);
}

TEST_F(SerialPortDriverTest, WholePacketsLeaveInOneTick) {
  const struct {
    const char* name;
    size_t waiting;
    std::vector<size_t> first_tick;
    bool idle_after;
  } cases[] = {
      {"512 bytes", 512, {256, 256}, true},
      {"exactly 256", 256, {256}, true},
      {"300 bytes", 300, {256}, false},
      {"700 bytes", 700, {256, 256}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSerialDevice dev;
    FakePollTimer tim;
    TSerialPortDriver d(dev, tim, clock);
    d.SetPacketSize(256);
    d.SetPacketTimeout(200);
    d.SetPacketMode(pmPass);
    std::vector<size_t> sizes;
    d.OnReceivePacket = [&](const uint8_t*, uint32_t size) { sizes.push_back(size); };
    ASSERT_TRUE(d.OpenPort());
    dev.Receive(c.waiting);
    clock.Advance(5);
    d.PollPort();
    EXPECT_EQ(sizes, c.first_tick);
    EXPECT_EQ(d.PacketStartTick() == -1, c.idle_after);
  }
}

TEST_F(SerialPortDriverTest, RemainderAfterWholePacketsLeavesAtTheNextTick) {
  OpenWithWindowSettings();
  device.Receive(300);
  Tick();
  Tick();
  EXPECT_EQ(PacketSizes(), (std::vector<size_t>{256, 44}));
  Bytes tail(packets[1].begin(), packets[1].end());
  EXPECT_EQ(tail.front(), static_cast<uint8_t>(256));
}

TEST_F(SerialPortDriverTest, RemainderEstimateAheadOfTheTickCountsAsTimedOut) {
  OpenWithWindowSettings();
  device.Receive(30);
  Tick();  // timing starts at T
  const int32_t start = driver.PacketStartTick();
  device.Receive(270, 30);
  Tick(10);  // 256 out; the remainder is dated T + 267 ms, ahead of now
  EXPECT_EQ(driver.PacketStartTick(), static_cast<int32_t>(static_cast<uint32_t>(start) + 267u));
  Tick();
  EXPECT_EQ(PacketSizes(), (std::vector<size_t>{256, 44}));
}

TEST_F(SerialPortDriverTest, TimeoutIsMeasuredAcrossTheTickWrap) {
  clock.SetTick(0xFFFFFF9Cu);  // 100 ms before the counter wraps
  OpenWithWindowSettings();
  device.Receive(30);
  driver.PollPort();
  EXPECT_EQ(driver.PacketStartTick(), static_cast<int32_t>(0xFFFFFF9Cu));
  Tick(200);  // the counter has wrapped to 100
  EXPECT_TRUE(packets.empty());
  Tick(1);
  EXPECT_EQ(PacketSizes(), std::vector<size_t>{30});
}

TEST_F(SerialPortDriverTest, WithoutTimeoutAPartialPacketWaitsForAWholeOne) {
  OpenWithWindowSettings();
  driver.SetPacketTimeout(0);
  device.Receive(100);
  Tick();
  Tick(100000);
  EXPECT_TRUE(packets.empty());
  device.Receive(156, 100);
  Tick();
  EXPECT_EQ(PacketSizes(), std::vector<size_t>{256});
}

TEST_F(SerialPortDriverTest, RawDeliveryHandsOverWhatWaitsUpToTheBuffer) {
  driver.SetPacketSize(0);
  ASSERT_TRUE(driver.OpenPort());
  device.Receive(3000);
  Tick();
  Tick();
  Tick();  // nothing left: no call
  ASSERT_EQ(raw.size(), 2u);
  EXPECT_EQ(raw[0].size(), 2048u);
  EXPECT_EQ(raw[1].size(), 952u);
  EXPECT_TRUE(packets.empty());
}

TEST_F(SerialPortDriverTest, UnreadableStatusEndsTheTick) {
  OpenWithWindowSettings();
  device.Receive(512);
  device.fail_status = true;
  Tick();
  EXPECT_TRUE(device.read_sizes.empty());
  device.fail_status = false;
  Tick();
  EXPECT_EQ(PacketSizes(), (std::vector<size_t>{256, 256}));
}

TEST_F(SerialPortDriverTest, FailedReadsDeliverNothingAndTheBytesComeNextTick) {
  OpenWithWindowSettings();
  device.Receive(512);
  device.fail_read = true;
  Tick();
  EXPECT_EQ(device.read_sizes, (std::vector<size_t>{256, 256}));  // one attempt per packet
  EXPECT_TRUE(packets.empty());
  device.fail_read = false;
  Tick();
  EXPECT_EQ(PacketSizes(), (std::vector<size_t>{256, 256}));
}

TEST_F(SerialPortDriverTest, ClosedPortIsNotPolled) {
  UseWindowSettings();
  device.Receive(512);
  Tick();
  EXPECT_TRUE(device.read_sizes.empty());
  EXPECT_TRUE(packets.empty());
}

TEST_F(SerialPortDriverTest, HandlerThatClosesThePortEndsTheTick) {
  OpenWithWindowSettings();
  driver.OnReceivePacket = [this](const uint8_t* data, uint32_t size) {
    packets.emplace_back(data, data + size);
    driver.ClosePort();
  };
  device.Receive(768);
  Tick();
  EXPECT_EQ(packets.size(), 1u);
  EXPECT_FALSE(driver.PortOpen());
}

TEST_F(SerialPortDriverTest, TickFromInsideAHandlerDoesNotOverwriteTheBuffer) {
  OpenWithWindowSettings();
  std::vector<Bytes> seen_after_nested;
  driver.OnReceivePacket = [&](const uint8_t* data, uint32_t size) {
    driver.PollPort();  // as a modal dialog's loop would
    seen_after_nested.emplace_back(data, data + size);
  };
  device.Receive(256, 0);
  device.Receive(256, 100);
  Tick();
  ASSERT_EQ(seen_after_nested.size(), 2u);
  EXPECT_EQ(seen_after_nested[0].front(), 0);
  EXPECT_EQ(seen_after_nested[1].front(), 100);
  EXPECT_EQ(device.read_sizes.size(), 2u);
}

TEST_F(SerialPortDriverTest, EveryDeliveryUsesTheOneReceiveBuffer) {
  OpenWithWindowSettings();
  device.Receive(600);
  Tick();
  Tick();
  ASSERT_EQ(pointers.size(), 3u);
  EXPECT_EQ(pointers[0], pointers[1]);
  EXPECT_EQ(pointers[1], pointers[2]);
}

TEST_F(SerialPortDriverTest, PurgeResetsThePacketTimer) {
  OpenWithWindowSettings();
  device.Receive(30);
  Tick();
  ASSERT_NE(driver.PacketStartTick(), -1);
  device.fail_purge = true;
  EXPECT_FALSE(driver.PurgeBuffers(true, false));
  EXPECT_NE(driver.PacketStartTick(), -1);
  device.fail_purge = false;
  EXPECT_TRUE(driver.PurgeBuffers(true, false));
  EXPECT_EQ(driver.PacketStartTick(), -1);
  EXPECT_EQ(device.purges.back(), std::make_pair(true, false));
}

struct FlushCase {
  const char* name;
  TPacketMode mode;
  bool raw;               // packet size -1: bytes go to OnReceiveData
  size_t received;
  bool status_fails;      // the device has gone: its count can no longer be read
  bool read_fails;
  std::vector<size_t> delivered;  // sizes, in order, to the event in use
};

class SerialFlush : public SerialPortDriverTest, public ::testing::WithParamInterface<FlushCase> {};

TEST_P(SerialFlush, RaisesWhatWaitsAtOnceBeforeAClose) {
  const FlushCase& c = GetParam();
  OpenWithWindowSettings();
  driver.SetPacketMode(c.mode);
  if (c.raw) driver.SetPacketSize(-1);
  // The first bytes make a partial packet that is being timed, far from its 200 ms; the rest
  // arrives after that tick.
  const size_t first = std::min<size_t>(c.received, 10);
  device.Receive(first);
  if (!c.raw) Tick(50);
  device.Receive(c.received - first, static_cast<uint8_t>(first));
  ASSERT_TRUE(packets.empty());
  device.fail_status = c.status_fails;
  device.fail_read = c.read_fails;

  driver.FlushPending();

  std::vector<size_t> sizes;
  for (const Bytes& b : c.raw ? raw : packets) sizes.push_back(b.size());
  EXPECT_EQ(sizes, c.delivered);
  size_t offset = 0;
  for (const Bytes& b : c.raw ? raw : packets) {
    for (size_t i = 0; i < b.size(); ++i) ASSERT_EQ(b[i], static_cast<uint8_t>(offset + i));
    offset += b.size();
  }
  EXPECT_EQ(driver.PacketStartTick(), -1);
  // Nothing is raised twice: a later tick finds nothing more.
  device.fail_status = device.fail_read = false;
  Tick(500);
  EXPECT_EQ((c.raw ? raw : packets).size(), c.delivered.size());
}

INSTANTIATE_TEST_SUITE_P(
    Waiting, SerialFlush,
    ::testing::Values(FlushCase{"PartialPacket", pmPass, false, 30, false, false, {30}},
                      FlushCase{"PacketsAndARest", pmPass, false, 600, false, false, {256, 256, 88}},
                      FlushCase{"DiscardKeepsWholePacketsOnly", pmDiscard, false, 300, false, false, {256}},
                      FlushCase{"Raw", pmPass, true, 40, false, false, {40}},
                      FlushCase{"GoneDeviceStillReadable", pmPass, false, 30, true, false, {30}},
                      FlushCase{"GoneDeviceHoldingMore", pmPass, false, 300, true, false, {256, 44}},
                      FlushCase{"GoneDeviceUnreadable", pmPass, false, 30, true, true, {}},
                      FlushCase{"NothingWaiting", pmPass, false, 0, false, false, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SerialPortDriverTest, FlushOfAClosedPortOrFromInsideAPollDoesNothing) {
  UseWindowSettings();
  device.Receive(10);
  driver.FlushPending();
  EXPECT_TRUE(device.read_sizes.empty());
  ASSERT_TRUE(driver.OpenPort());
  device.Receive(10);
  // A handler inside a poll must not overwrite the buffer it is still reading.
  driver.OnReceivePacket = [this](const uint8_t* data, uint32_t size) {
    packets.emplace_back(data, data + size);
    device.Receive(5, 100);
    driver.FlushPending();
  };
  Tick();
  Tick(201);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].size(), 10u);
}

}  // namespace
}  // namespace drv

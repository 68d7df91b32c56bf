#include "receiver/port_recovery.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "app/port_controls.h"
#include "support/fake_clock.h"
#include "support/fake_serial_device.h"
#include "support/fakes.h"

namespace drv {
namespace {

using test::FakeClock;
using test::FakePollTimer;
using test::FakeSerialDevice;

const std::string kCom1 = "\\\\.\\COM1";
const std::string kLostCom1 = "Порт COM1 потерян, повторное открытие каждые 5 с.";
const std::string kBackCom1 = "Порт COM1 снова открыт.";

class PortRecoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port.SetPacketSize(256);
    port.SetPacketTimeout(200);
    port.SetPacketMode(pmPass);
    port.SetPortName(kCom1);
    port.OnDeviceLost = [this] { recovery.DeviceLost(); };
    ASSERT_TRUE(port.OpenPort());
  }

  // The device stops answering; the poll notices after a few ticks.
  void PullDevice() {
    device.fail_status = true;
    device.fail_open = true;
    for (int i = 0; i < TSerialPortDriver::kFailedPollsForLoss; ++i) Poll();
  }

  void Poll() {
    clock.Advance(5);
    port.PollPort();
  }

  // Moves time in Timer2-sized steps, ticking the recovery at each.
  void RunTicks(uint64_t ms) {
    for (uint64_t done = 0; done < ms; done += 200) {
      clock.Advance(200);
      recovery.Tick();
    }
  }

  FakeSerialDevice device;
  FakePollTimer timer;
  FakeClock clock;
  test::RecordingReporter reporter;
  TSerialPortDriver port{device, timer, clock};
  PortRecovery recovery{port, clock, reporter};
};

TEST_F(PortRecoveryTest, LossClosesThePortAndSaysSoOnce) {
  PullDevice();
  EXPECT_FALSE(port.PortOpen());
  EXPECT_FALSE(device.open);
  EXPECT_FALSE(timer.active);
  EXPECT_TRUE(recovery.Recovering());
  EXPECT_EQ(recovery.LostPortName(), kCom1);
  // Later notices of the same loss (the device's own, more failed polls) add nothing.
  recovery.DeviceLost();
  Poll();
  EXPECT_EQ(reporter.log_lines, std::vector<std::string>{kLostCom1});
  EXPECT_TRUE(reporter.exceptions.empty());
}

TEST_F(PortRecoveryTest, BytesTheGoneDeviceStillGivesLeaveBeforeTheClose) {
  std::vector<std::vector<uint8_t>> packets;
  port.OnReceivePacket = [&](const uint8_t* data, uint32_t size) { packets.emplace_back(data, data + size); };
  device.Receive(30);
  Poll();  // a partial packet being timed
  PullDevice();  // its status can no longer be read, its bytes still can
  EXPECT_FALSE(port.PortOpen());
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].size(), 30u);
}

TEST_F(PortRecoveryTest, RetriesEveryFiveSecondsUntilThePortReturns) {
  const size_t opens_before = device.opened_names.size();
  const size_t applied_before = device.applied.size();
  PullDevice();
  RunTicks(4800);
  EXPECT_EQ(device.opened_names.size(), opens_before) << "no retry before 5 s";
  RunTicks(200);
  EXPECT_EQ(device.opened_names.size(), opens_before + 1);
  RunTicks(4800);
  EXPECT_EQ(device.opened_names.size(), opens_before + 1);
  RunTicks(200);
  EXPECT_EQ(device.opened_names.size(), opens_before + 2);
  EXPECT_FALSE(port.PortOpen());

  device.fail_status = false;
  device.fail_open = false;
  RunTicks(5000);
  EXPECT_TRUE(port.PortOpen());
  EXPECT_TRUE(timer.active);
  EXPECT_FALSE(recovery.Recovering());
  EXPECT_EQ(device.opened_names.back(), kCom1);
  EXPECT_EQ(device.applied.size(), applied_before + 1) << "line settings applied again";
  EXPECT_EQ(reporter.log_lines, (std::vector<std::string>{kLostCom1, kBackCom1}));

  // Once back, the retries are over and bytes flow again.
  const size_t opens_after = device.opened_names.size();
  RunTicks(20000);
  EXPECT_EQ(device.opened_names.size(), opens_after);
  std::vector<uint32_t> sizes;
  port.OnReceivePacket = [&](const uint8_t*, uint32_t size) { sizes.push_back(size); };
  device.Receive(256);
  Poll();
  EXPECT_EQ(sizes, std::vector<uint32_t>{256});
}

TEST_F(PortRecoveryTest, RetriesFollowTheMonotonicClockNotTheWallClock) {
  PullDevice();
  device.fail_open = false;
  device.fail_status = false;
  clock.SetWallTime(clock.Now() + 1.0);  // the operator sets the clock a day ahead
  recovery.Tick();
  EXPECT_FALSE(port.PortOpen());
  clock.Advance(5000);
  recovery.Tick();
  EXPECT_TRUE(port.PortOpen());
}

TEST_F(PortRecoveryTest, ModemLinesComeBackAsTheOwnerLeftThem) {
  port.SetDTRLine(false);
  port.SetRTSLine(true);
  PullDevice();
  device.fail_status = false;
  device.fail_open = false;
  device.dtr_calls.clear();
  device.rts_calls.clear();
  RunTicks(5000);
  ASSERT_TRUE(port.PortOpen());
  EXPECT_EQ(device.dtr_calls, std::vector<bool>{false});
  EXPECT_EQ(device.rts_calls, std::vector<bool>{true});
}

TEST_F(PortRecoveryTest, CancelEndsTheRetriesSilently) {
  PullDevice();
  recovery.Cancel();
  device.fail_open = false;
  const size_t opens = device.opened_names.size();
  RunTicks(20000);
  EXPECT_EQ(device.opened_names.size(), opens);
  EXPECT_FALSE(port.PortOpen());
  EXPECT_EQ(reporter.log_lines, std::vector<std::string>{kLostCom1});
}

TEST_F(PortRecoveryTest, APortOpenedMeanwhileIsLeftAlone) {
  PullDevice();
  device.fail_open = false;
  port.SetPortName("\\\\.\\COM7");
  ASSERT_TRUE(port.OpenPort());
  const size_t opens = device.opened_names.size();
  RunTicks(5000);
  EXPECT_FALSE(recovery.Recovering());
  EXPECT_EQ(device.opened_names.size(), opens);
  EXPECT_EQ(port.PortName(), "\\\\.\\COM7");
}

TEST_F(PortRecoveryTest, NothingToRecoverOnAClosedPort) {
  port.ClosePort();
  recovery.DeviceLost();
  EXPECT_FALSE(recovery.Recovering());
  EXPECT_TRUE(reporter.log_lines.empty());
}

TEST(PortRecoveryTextTest, NamesThePortAsTheOperatorKnowsIt) {
  struct Row {
    std::string port_name, lost, back;
  };
  const Row rows[] = {
      {"\\\\.\\COM1", kLostCom1, kBackCom1},
      {"\\\\.\\COM12", "Порт COM12 потерян, повторное открытие каждые 5 с.", "Порт COM12 снова открыт."},
      {"/dev/ttyUSB0", "Порт /dev/ttyUSB0 потерян, повторное открытие каждые 5 с.", "Порт /dev/ttyUSB0 снова открыт."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.port_name);
    EXPECT_EQ(PortRecovery::LostText(row.port_name), row.lost);
    EXPECT_EQ(PortRecovery::ReopenedText(row.port_name), row.back);
  }
}

// When the port component takes a device for gone: a run of failed polls, raised once.
TEST(SerialDeviceLossTest, ARunOfFailedPollsIsOneLoss) {
  enum Failure { kNone, kStatus, kRead };
  struct Row {
    const char* name;
    std::vector<Failure> polls;
    int losses;
  };
  const Row rows[] = {
      {"status fails three times", {kStatus, kStatus, kStatus}, 1},
      {"status fails twice", {kStatus, kStatus}, 0},
      {"a good poll breaks the run", {kStatus, kStatus, kNone, kStatus, kStatus}, 0},
      {"reads fail three times", {kRead, kRead, kRead}, 1},
      {"status and reads mixed", {kStatus, kRead, kStatus}, 1},
      {"a long run is still one loss", {kStatus, kStatus, kStatus, kStatus, kStatus, kStatus}, 1},
      {"two runs are two losses", {kStatus, kStatus, kStatus, kNone, kRead, kRead, kRead}, 2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeSerialDevice device;
    FakePollTimer timer;
    FakeClock clock;
    TSerialPortDriver port{device, timer, clock};
    port.SetPacketSize(16);
    port.SetPacketTimeout(200);
    port.SetPacketMode(pmPass);
    int losses = 0;
    port.OnDeviceLost = [&] { ++losses; };
    ASSERT_TRUE(port.OpenPort());
    for (const Failure failure : row.polls) {
      device.fail_status = failure == kStatus;
      device.fail_read = failure == kRead;
      // Whole packets waiting, so that every poll reads.
      device.input.clear();
      device.Receive(16);
      clock.Advance(5);
      port.PollPort();
    }
    EXPECT_EQ(losses, row.losses);
    EXPECT_TRUE(port.PortOpen()) << "the component itself keeps the port";
  }
}

// The loss as the driver object and the port controls see it.
class DriverPortLossTest : public ::testing::Test {
 protected:
  class View final : public PortControlsView {
   public:
    std::string RunCaption() const override { return caption; }
    void SetRunCaption(const std::string& text) override { caption = text; }
    void SetPortControlsEnabled(bool) override {}
    void SetPortList(const std::vector<std::string>&) override {}
    std::string PortListText() const override { return text; }
    void SetPortListText(const std::string& value) override { text = value; }
    void SelectFirstPortEntry() override {}
    int AskPassword() override { return kPasswordOk; }
    void ShowMessage(const std::string&) override {}
    std::string caption;
    std::string text;
  };
  class NoObserver final : public LinkObserver {
    void LogLine(const std::string&) override {}
    void TickServerIndicator(bool) override {}
  };

  void SetUp() override {
    std::ofstream(dir.Path("drvlarna.ini"), std::ios::binary) << "[port]\r\nComPort=COM1\r\n[main]\r\nSendK8=0\r\n";
    driver = std::make_unique<Driver>(DriverDeps{
        .clock = clock,
        .serial_device = device,
        .poll_timer = timer,
        .reporter = reporter,
        .link_observer = observer,
        .make_connection = [] { return std::unique_ptr<TcpConnection>(); },
        .sleep_ms = {},
        .work_dir = dir.Path(),
    });
    controls = std::make_unique<PortControls>(*driver, view, reporter);
    controls->ShowStartState(driver->Start());
    ASSERT_EQ(view.caption, kRunCaptionStop);
  }

  void PullDevice() {
    device.fail_status = true;
    device.fail_open = true;
    for (int i = 0; i < TSerialPortDriver::kFailedPollsForLoss; ++i) driver->SerialPortDriver1().PollPort();
    device.fail_status = false;
  }

  void RunTimer2(uint64_t ms) {
    for (uint64_t done = 0; done < ms; done += 200) {
      clock.Advance(200);
      driver->Timer2Tick();
    }
  }

  test::TempDir dir;
  FakeClock clock;
  FakeSerialDevice device;
  FakePollTimer timer;
  test::RecordingReporter reporter;
  NoObserver observer;
  View view;
  std::unique_ptr<Driver> driver;
  std::unique_ptr<PortControls> controls;
};

TEST_F(DriverPortLossTest, Timer2BringsThePortBackWhileTheRunStateStays) {
  PullDevice();
  EXPECT_FALSE(driver->SerialPortDriver1().PortOpen());
  EXPECT_EQ(view.caption, kRunCaptionStop);
  device.fail_open = false;
  RunTimer2(5000);
  EXPECT_TRUE(driver->SerialPortDriver1().PortOpen());
  EXPECT_EQ(view.caption, kRunCaptionStop);
  EXPECT_EQ(reporter.log_lines, (std::vector<std::string>{kLostCom1, kBackCom1}));
}

TEST_F(DriverPortLossTest, OperatorStopEndsTheRetries) {
  PullDevice();
  controls->AdvGlowButton2Click();
  EXPECT_EQ(view.caption, kRunCaptionStart);
  device.fail_open = false;
  const size_t opens = device.opened_names.size();
  RunTimer2(20000);
  EXPECT_EQ(device.opened_names.size(), opens);
  EXPECT_FALSE(driver->SerialPortDriver1().PortOpen());
}

TEST_F(DriverPortLossTest, OperatorStartOfAnotherPortReplacesTheRetries) {
  PullDevice();
  controls->AdvGlowButton2Click();  // stop
  device.fail_open = false;
  view.text = "COM4";
  controls->AdvGlowButton2Click();  // start
  ASSERT_TRUE(driver->SerialPortDriver1().PortOpen());
  const size_t opens = device.opened_names.size();
  RunTimer2(20000);
  EXPECT_EQ(device.opened_names.size(), opens);
  EXPECT_EQ(driver->SerialPortDriver1().PortName(), "\\\\.\\COM4");
}

TEST_F(DriverPortLossTest, ClosingTheDriverEndsTheRetries) {
  PullDevice();
  driver->RequestStop();
  device.fail_open = false;
  RunTimer2(20000);
  EXPECT_FALSE(driver->SerialPortDriver1().PortOpen());
  EXPECT_FALSE(driver->port_recovery().Recovering());
}

}  // namespace
}  // namespace drv

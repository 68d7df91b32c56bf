#include "app/port_controls.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <fstream>
#include <chrono>
#include <set>
#include <thread>

#include "base/ini_file.h"
#include "wire/frames.h"
#include "wire/message_types.h"
#include "support/fake_clock.h"
#include "support/fake_serial_device.h"
#include "support/scripted_connection.h"
#include "support/fakes.h"

namespace drv {
namespace {

// Ports that exist and are free; one open at a time, as a real exclusive device.
class PortsDevice final : public SerialDevice {
 public:
  bool Open(const std::string& name) override {
    tried.push_back(name);
    if (!free.contains(name)) return false;
    open_name = name;
    return true;
  }
  void Close() override { open_name.clear(); }
  bool IsOpen() const override { return !open_name.empty(); }
  std::optional<size_t> BytesWaiting() override { return input.size(); }
  std::optional<size_t> Read(uint8_t* buffer, size_t max) override {
    const size_t n = std::min(max, input.size());
    std::copy_n(input.begin(), n, buffer);
    input.erase(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(n));
    return n;
  }
  bool ApplyLineSettings(const LineSettings&) override { return true; }
  bool Purge(bool, bool) override { return true; }
  bool SetDTR(bool on) override {
    dtr.push_back(on);
    return true;
  }
  bool SetRTS(bool) override { return true; }

  std::set<std::string> free;
  std::vector<std::string> tried;
  std::deque<uint8_t> input;
  std::string open_name;
  std::vector<bool> dtr;
};

class FakeView final : public PortControlsView {
 public:
  std::string RunCaption() const override { return caption; }
  void SetRunCaption(const std::string& text) override { caption = text; }
  void SetPortControlsEnabled(bool on) override { enabled = on; }
  void SetPortList(const std::vector<std::string>& items) override { entries = items; }
  std::string PortListText() const override { return text; }
  void SetPortListText(const std::string& value) override { text = value; }
  void SelectFirstPortEntry() override {
    if (!entries.empty()) text = entries.front();
  }
  int AskPassword() override { return password_answer; }
  void ShowMessage(const std::string& message) override { messages.push_back(message); }

  std::string caption;
  bool enabled = false;
  std::vector<std::string> entries;
  std::string text;
  int password_answer = kPasswordOk;
  std::vector<std::string> messages;
};

class NullObserver final : public LinkObserver {
 public:
  void LogLine(const std::string&) override {}
  void TickServerIndicator(bool) override {}
};

class PortControlsTest : public ::testing::Test {
 protected:
  void Start(const std::string& ini) {
    std::ofstream(dir.Path("drvlarna.ini"), std::ios::binary) << ini;
    driver = std::make_unique<Driver>(DriverDeps{
        .clock = clock,
        .serial_device = device,
        .poll_timer = timer,
        .reporter = reporter,
        .link_observer = observer,
        .make_connection = [this] { return std::make_unique<test::ScriptedConnection>(server); },
        .sleep_ms = {},
        .work_dir = dir.Path(),
    });
    // A server that answers everything: port-state messages belong to a connection.
    for (int i = 0; i < 100; ++i) server.Reply(mtKeepAlive);
    const Driver::StartState state = driver->Start();
    if (driver->link() != nullptr) {
      for (int i = 0; i < 1000 && !driver->link()->ConnectionEstablished(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      ASSERT_TRUE(driver->link()->ConnectionEstablished());
    }
    controls = std::make_unique<PortControls>(*driver, view, reporter);
    controls->ShowStartState(state);
  }
  std::string SavedComPort() const {
    return IniFile::Load(dir.Path("drvlarna.ini")).ReadString("port", "ComPort", "<none>");
  }
  // The port-state messages sent so far: (name, open flag).
  std::vector<std::pair<std::string, int>> QueuedPortStates() {
    std::vector<std::pair<std::string, int>> states;
    for (int i = 0; i < 1000 && !driver->link()->Queue().IsEmpty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    for (const auto& frame : server.Writes()) {
      const auto parsed = ValidateMessage(std::span<const uint8_t>(frame).subspan(kTransportHeaderSize));
      if (!parsed || parsed->type != mtPortStateChanged) continue;
      states.emplace_back(std::string(parsed->payload.begin() + 1, parsed->payload.begin() + 1 + parsed->payload[0]),
                          parsed->payload[7]);
    }
    return states;
  }
  void TearDown() override {
    driver->RequestStop();
    ASSERT_TRUE(driver->WaitLinkStopped(10000)) << "the link thread did not stop";
  }

  test::TempDir dir;
  test::FakeClock clock;
  PortsDevice device;
  test::FakePollTimer timer;
  test::RecordingReporter reporter;
  NullObserver observer;
  test::ScriptedServer server;
  FakeView view;
  std::unique_ptr<Driver> driver;
  std::unique_ptr<PortControls> controls;
};

TEST_F(PortControlsTest, StartStatesFollowTheStartUp) {
  device.free = {"\\\\.\\COM3"};
  Start("[port]\r\nComPort=COM3\r\n");
  EXPECT_EQ(view.caption, kRunCaptionStop);
  EXPECT_FALSE(view.enabled);
  EXPECT_EQ(view.text, "COM3");
}

TEST_F(PortControlsTest, NoPortConfiguredStartsStoppedWithEmptyText) {
  Start("");
  EXPECT_EQ(view.caption, kRunCaptionStart);
  EXPECT_TRUE(view.enabled);
  EXPECT_EQ(view.text, "");
}

TEST_F(PortControlsTest, RescanListsFreePortsInOrderAndSavesTheFirst) {
  device.free = {"\\\\.\\COM3", "\\\\.\\COM1", "\\\\.\\COM33"};
  Start("[port]\r\nComPort=COM255\r\n");
  controls->AdvGlowButton1Click();
  EXPECT_EQ(view.entries, (std::vector<std::string>{"COM1", "COM3"}));
  EXPECT_EQ(view.text, "COM1");
  EXPECT_EQ(SavedComPort(), "COM1");
  EXPECT_FALSE(device.IsOpen());
}

TEST_F(PortControlsTest, RescanFindingNothingSavesThePreviousText) {
  Start("[port]\r\nComPort=COM9\r\n");
  controls->AdvGlowButton1Click();
  EXPECT_TRUE(view.entries.empty());
  EXPECT_EQ(view.text, "COM9");
  EXPECT_EQ(SavedComPort(), "COM9");
}

TEST_F(PortControlsTest, StopNeedsThePassword) {
  device.free = {"\\\\.\\COM3"};
  Start("[port]\r\nComPort=COM3\r\n");
  for (int refused : {PortControlsView::kPasswordCancelled, PortControlsView::kPasswordWrong}) {
    view.password_answer = refused;
    controls->AdvGlowButton2Click();
    EXPECT_EQ(view.messages.back(), kStopRefusedText);
    EXPECT_TRUE(driver->SerialPortDriver1().PortOpen());
    EXPECT_EQ(view.caption, kRunCaptionStop);
  }
  view.password_answer = PortControlsView::kPasswordOk;
  controls->AdvGlowButton2Click();
  EXPECT_FALSE(driver->SerialPortDriver1().PortOpen());
  EXPECT_EQ(view.caption, kRunCaptionStart);
  EXPECT_TRUE(view.enabled);
  // Every use of the button tells the server, under the start-up name.
  EXPECT_EQ(QueuedPortStates(),
            (std::vector<std::pair<std::string, int>>{{"COM3", 1}, {"COM3", 1}, {"COM3", 0}}));
}

TEST_F(PortControlsTest, StopLetsTheWaitingLineThroughBeforeClosing) {
  device.free = {"\\\\.\\COM3"};
  Start("[port]\r\nComPort=COM3\r\n[main]\r\nSendK8=0\r\nPathForSoob=spool/\r\n");
  const std::string line = "R A8001234567\r\n";
  device.input.assign(line.begin(), line.end());
  driver->SerialPortDriver1().PollPort();  // the packet waits for its 200 ms
  controls->AdvGlowButton2Click();
  EXPECT_FALSE(driver->SerialPortDriver1().PortOpen());
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path("spool")), {}), 1);
}

TEST_F(PortControlsTest, StartOpensTheListTextAndLeavesDtrAtItsSetting) {
  device.free = {"\\\\.\\COM5"};
  Start("[port]\r\nComPort=COM3\r\nDTR=1\r\n");
  view.text = "COM5";
  controls->AdvGlowButton2Click();
  EXPECT_EQ(device.open_name, "\\\\.\\COM5");
  EXPECT_EQ(view.caption, kRunCaptionStop);
  EXPECT_FALSE(view.enabled);
  EXPECT_EQ(device.dtr.back(), true);
  EXPECT_EQ(QueuedPortStates(), (std::vector<std::pair<std::string, int>>{{"COM3", 1}}));
}

TEST_F(PortControlsTest, StartWithAnEmptyListTextShowsBusyThenRescans) {
  device.free = {"\\\\.\\COM2"};
  Start("[port]\r\nComPort=COM255\r\n");
  ASSERT_EQ(view.text, "");
  controls->AdvGlowButton2Click();
  // The bare device prefix is tried, fails, and the scan follows.
  ASSERT_FALSE(device.tried.empty());
  EXPECT_EQ(device.tried.front(), "\\\\.\\");
  EXPECT_EQ(device.tried.size(), 1u + PortControls::kHighestScannedPort);
  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_EQ(view.messages[0], kPortBusyText);
  EXPECT_EQ(view.caption, kRunCaptionStart);
  EXPECT_EQ(view.entries, (std::vector<std::string>{"COM2"}));
  EXPECT_EQ(SavedComPort(), "COM2");
}

TEST_F(PortControlsTest, ChoiceIsNotSavedWhileRunning) {
  device.free = {"\\\\.\\COM3"};
  Start("[port]\r\nComPort=COM3\r\n");
  view.text = "COM4";
  controls->AdvOfficeComboBox1Select();
  EXPECT_EQ(SavedComPort(), "COM3");
}

TEST_F(PortControlsTest, UnwritableConfigurationWritesErrorNineteen) {
  Start("");
  std::filesystem::create_directory(dir.Path("drvlarna.ini.d"));
  std::filesystem::remove(dir.Path("drvlarna.ini"));
  std::filesystem::create_directory(dir.Path("drvlarna.ini"));  // a folder cannot be written as a file
  view.text = "COM1";
  controls->AdvOfficeComboBox1Select();
  const auto bytes = test::ReadBytes(dir.Path("error.txt"));
  const std::string expected = "\xEE\xF8\xE8\xE1\xEA\xE0 \xB9" "19\r\n";
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), expected);
}

}  // namespace
}  // namespace drv

#include "app/driver.h"

#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <thread>

#include "wire/frames.h"
#include "wire/message_types.h"
#include "support/fake_clock.h"
#include "support/fake_serial_device.h"
#include "support/scripted_connection.h"
#include "support/fakes.h"

namespace drv {
namespace {

using test::ReadBytes;

class CountingObserver final : public LinkObserver {
 public:
  void LogLine(const std::string& line) override {
    std::lock_guard lock(mutex);
    lines.push_back(line);
  }
  void TickServerIndicator(bool) override {}
  std::mutex mutex;
  std::vector<std::string> lines;
};

class DriverTest : public ::testing::Test {
 protected:
  void WriteIni(const std::string& text) { std::ofstream(dir.Path("drvlarna.ini"), std::ios::binary) << text; }

  Driver& MakeDriver() {
    driver = std::make_unique<Driver>(DriverDeps{
        .clock = clock,
        .serial_device = device,
        .poll_timer = timer,
        .reporter = reporter,
        .link_observer = observer,
        .make_connection = [this] { return std::make_unique<test::ScriptedConnection>(server); },
        .sleep_ms =
            [this](int ms) {
              sleeps.push_back(ms);
              dtr_calls_at_sleep = device.dtr_calls.size();
            },
        .work_dir = dir.Path(),
        .version_text = "8.15.3.15",
    });
    return *driver;
  }

  // Feeds bytes to the port and lets the packet time-out release them.
  void Receive(const std::string& bytes) {
    device.input.insert(device.input.end(), bytes.begin(), bytes.end());
    driver->SerialPortDriver1().PollPort();
    clock.Advance(201);
    driver->SerialPortDriver1().PollPort();
  }

  std::vector<std::string> SpoolFiles() const {
    std::vector<std::string> files;
    for (const std::string& name : dir.Names()) {
      if (name.size() > 4 && name.ends_with(".dd8")) files.push_back(dir.Path(name));
    }
    return files;
  }

  void TearDown() override {
    if (!driver) return;
    driver->RequestStop();
    ASSERT_TRUE(driver->WaitLinkStopped(10000)) << "the link thread did not stop";
  }

  test::TempDir dir;
  test::FakeClock clock;
  test::FakeSerialDevice device;
  test::FakePollTimer timer;
  test::RecordingReporter reporter;
  CountingObserver observer;
  test::ScriptedServer server;
  std::vector<int> sleeps;
  std::size_t dtr_calls_at_sleep = 0;
  std::unique_ptr<Driver> driver;
};

TEST_F(DriverTest, WithoutConfigurationNoPortIsOpenedAndTheLinkExists) {
  server.RefuseNextConnects(1000);
  Driver::StartState state = MakeDriver().Start();
  EXPECT_FALSE(state.port_tried);
  EXPECT_FALSE(state.port_open);
  EXPECT_TRUE(device.opened_names.empty());
  EXPECT_TRUE(driver->HasServerLink());
  EXPECT_EQ(driver->ClosePassword().size(), 5u);
  EXPECT_GT(driver->StartTime(), 0.0);
}

TEST_F(DriverTest, ConfiguredPortOpensWithItsLineSettingsAndTheDtrPulse) {
  WriteIni("[port]\r\nComPort=COM3\r\nBaudRate=19200\r\n[main]\r\nSendK8=0\r\n");
  Driver::StartState state = MakeDriver().Start();
  EXPECT_TRUE(state.port_tried);
  EXPECT_TRUE(state.port_open);
  ASSERT_EQ(device.opened_names, (std::vector<std::string>{"\\\\.\\COM3"}));
  ASSERT_FALSE(device.applied.empty());
  EXPECT_EQ(device.applied.back().baud_rate, 19200u);
  // DTR and RTS dropped, 300 ms, DTR raised; RTS stays dropped.
  EXPECT_EQ(device.dtr_calls, (std::vector<bool>{false, true}));
  EXPECT_EQ(device.rts_calls, (std::vector<bool>{false}));
  EXPECT_EQ(sleeps, (std::vector<int>{300}));
  EXPECT_EQ(dtr_calls_at_sleep, 1u);
  EXPECT_EQ(timer.starts, (std::vector<uint32_t>{5}));
  EXPECT_FALSE(driver->HasServerLink());
}

TEST_F(DriverTest, FailedOpenLeavesThePortStoppedWithoutPulse) {
  WriteIni("[port]\r\nComPort=COM7\r\n[main]\r\nSendK8=0\r\n");
  device.fail_open = true;
  Driver::StartState state = MakeDriver().Start();
  EXPECT_TRUE(state.port_tried);
  EXPECT_FALSE(state.port_open);
  EXPECT_TRUE(sleeps.empty());
}

// Only the exact marker means "no port": any other spelling is a port name and is tried.
struct MarkerCase {
  const char* name;
  const char* com_port;
  bool tried;
};

class NoPortMarker : public DriverTest, public ::testing::WithParamInterface<MarkerCase> {};

TEST_P(NoPortMarker, OnlyTheExactMarkerSkipsTheOpen) {
  const MarkerCase& c = GetParam();
  WriteIni(std::string("[port]\r\nComPort=") + c.com_port + "\r\n[main]\r\nSendK8=0\r\n");
  device.fail_open = true;  // no device has such a name
  Driver::StartState state = MakeDriver().Start();
  EXPECT_EQ(state.port_tried, c.tried);
  EXPECT_FALSE(state.port_open);
  EXPECT_EQ(device.opened_names,
            c.tried ? std::vector<std::string>{std::string("\\\\.\\") + c.com_port} : std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Names, NoPortMarker,
                         ::testing::Values(MarkerCase{"Marker", "COM255", false},
                                           MarkerCase{"LowerCase", "com255", true},
                                           MarkerCase{"MixedCase", "Com255", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DriverTest, InvalidAttentionIsReportedAndStartUpFinishes) {
  WriteIni("[port]\r\nComPort=COM3\r\n[main]\r\nAttention=later\r\nCaption=X\r\n");
  server.RefuseNextConnects(1000);
  Driver::StartState state = MakeDriver().Start();
  ASSERT_EQ(reporter.exceptions.size(), 1u);
  EXPECT_NE(reporter.exceptions[0].find("Attention"), std::string::npos);
  EXPECT_TRUE(state.port_open);
  EXPECT_TRUE(driver->HasServerLink());
  EXPECT_EQ(driver->settings().Caption, "X");
  EXPECT_DOUBLE_EQ(driver->settings().Attention, 10.0 / 1440.0);
}

struct NoLinkCase {
  const char* name;
  const char* not_send_to_disk;
  std::size_t link_state_files;
};

class WithoutServerLink : public DriverTest, public ::testing::WithParamInterface<NoLinkCase> {};

TEST_P(WithoutServerLink, LinesAndLinkChangesEndInSpoolFiles) {
  const NoLinkCase& c = GetParam();
  WriteIni(std::string("[port]\r\nComPort=COM1\r\n[main]\r\nSendK8=0\r\nLog=0\r\nNotSendToDiskK8=") +
           c.not_send_to_disk + "\r\n");
  MakeDriver().Start();

  driver->Timer2Tick();  // no data since start-up: the link counts as lost
  EXPECT_FALSE(driver->StationLinkOk());
  Receive("R A8001234567\r\nR A8001234568\r\n");
  EXPECT_EQ(driver->StationTick(), 2);
  driver->Timer2Tick();
  EXPECT_TRUE(driver->StationLinkOk());

  std::vector<std::vector<uint8_t>> files;
  for (const std::string& path : SpoolFiles()) files.push_back(ReadBytes(path));
  std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.size() < b.size(); });
  ASSERT_EQ(files.size(), c.link_state_files + 2);
  for (std::size_t i = 0; i < c.link_state_files; ++i) {
    ASSERT_EQ(files[i].size(), 15u);
    EXPECT_EQ(GetLe32(files[i].data()), mtLinkState);
  }
  // Events are spooled whatever NotSendToDiskK8 says.
  for (std::size_t i = c.link_state_files; i < files.size(); ++i) {
    ASSERT_EQ(files[i].size(), 24u);
    EXPECT_EQ(GetLe32(files[i].data()), mtStoredEvent);
    EXPECT_EQ(static_cast<int32_t>(GetLe32(files[i].data() + 4)), 322345);
  }
  EXPECT_FALSE(std::filesystem::exists(dir.Path("drvlarna.log")));
}

INSTANTIATE_TEST_SUITE_P(Settings, WithoutServerLink,
                         ::testing::Values(NoLinkCase{"LinkChangesSpooled", "0", 2},
                                           NoLinkCase{"LinkChangesDropped", "1", 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// With the server link down and NotSendToDiskK8, a change of the station link is shown on
// the indicator and goes nowhere: not queued, not spooled.
TEST_F(DriverTest, NotSendToDiskK8ShowsStationChangesWhileTheLinkIsDown) {
  WriteIni("[port]\r\nComPort=COM1\r\n[main]\r\nNotSendToDiskK8=1\r\nLog=0\r\n");
  server.RefuseNextConnects(1000);
  MakeDriver();
  int redraws = 0;
  driver->OnStationIndicatorChanged = [&] { ++redraws; };
  driver->Start();
  // The first attempt is refused; the next one is five seconds of the fake clock away.
  ASSERT_TRUE(server.WaitFor([](const test::ScriptedServer& s) { return s.ConnectsLocked() >= 1; }, 5000));
  for (int i = 0; i < 100000 && driver->ServerConnected(); ++i) std::this_thread::yield();
  ASSERT_FALSE(driver->ServerConnected());

  driver->Timer2Tick();
  EXPECT_FALSE(driver->StationLinkOk());
  EXPECT_EQ(redraws, 1);
  Receive("noise\r\n");  // data, but no event line
  driver->Timer2Tick();
  EXPECT_TRUE(driver->StationLinkOk());
  EXPECT_EQ(redraws, 2);

  driver->link()->RequestStop();
  ASSERT_TRUE(driver->link()->WaitStopped(10000)) << "the link thread did not stop";
  EXPECT_TRUE(driver->link()->Queue().IsEmpty());
  EXPECT_TRUE(server.WrittenTypes().empty());
  EXPECT_TRUE(SpoolFiles().empty());
}

TEST_F(DriverTest, HiddenTestButtonFeedsTheSampleLine) {
  WriteIni("[main]\r\nSendK8=0\r\n");
  MakeDriver().Start();
  driver->InjectTestLine();
  EXPECT_EQ(driver->StationTick(), 1);
  ASSERT_EQ(SpoolFiles().size(), 1u);
  EXPECT_TRUE(std::filesystem::exists(dir.Path("drvlarna.log")));
}

TEST_F(DriverTest, EventsStillQueuedAtStopAreSpooled) {
  // The connection takes the event, then every write fails: the link goes down with the
  // event still queued, and the stop must not lose it.
  std::array<uint8_t, TEventRecord::kSize> payload{};
  payload[0] = 0x2A;
  server.FailNextWrites(1000);
  server.OnConnect([&] { driver->link()->EnqueueMessage(mtEvent, payload); });
  MakeDriver().Start();
  ASSERT_TRUE(server.WaitFor([](const test::ScriptedServer& s) { return s.ConnectsLocked() >= 1; }, 5000));
  driver->RequestStop();
  ASSERT_TRUE(driver->WaitLinkStopped(10000)) << "the link thread did not stop";
  const auto files = SpoolFiles();
  ASSERT_EQ(files.size(), 1u);
  const auto bytes = ReadBytes(files[0]);
  ASSERT_EQ(bytes.size(), 24u);
  EXPECT_EQ(GetLe32(bytes.data()), mtStoredEvent);
  EXPECT_EQ(bytes[4], 0x2A);
}

enum class Ending { kStop, kDeviceLost };

class DriverEnding : public DriverTest, public ::testing::WithParamInterface<Ending> {};

TEST_P(DriverEnding, BytesThatReachedThePortGoThroughBeforeItCloses) {
  WriteIni("[port]\r\nComPort=COM1\r\n[main]\r\nSendK8=0\r\nLog=0\r\n");
  MakeDriver().Start();
  // One line still waiting for its 200 ms, and one the port has not even been polled for.
  const std::string first = "R A8001234567\r\n";
  device.input.insert(device.input.end(), first.begin(), first.end());
  driver->SerialPortDriver1().PollPort();
  clock.Advance(20);
  const std::string second = "R A8001234568\r\n";
  device.input.insert(device.input.end(), second.begin(), second.end());

  if (GetParam() == Ending::kStop) {
    driver->RequestStop();
  } else {
    driver->PortDeviceLost();
  }
  EXPECT_FALSE(driver->SerialPortDriver1().PortOpen());
  EXPECT_EQ(SpoolFiles().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Endings, DriverEnding, ::testing::Values(Ending::kStop, Ending::kDeviceLost),
                         [](const auto& info) { return info.param == Ending::kStop ? "Stop" : "DeviceLost"; });

TEST_F(DriverTest, RecordsHeldForAFullSpoolAreWrittenOnTheTickOnceItTakesFilesAgain) {
  // The spool folder is a file for a while: nothing can be written below it.
  WriteIni("[main]\r\nSendK8=0\r\nPathForSoob=spool/\r\n");
  MakeDriver().Start();
  std::filesystem::remove_all(dir.Path("spool"));
  test::WriteBytes(dir.Path("spool"), {});
  driver->InjectTestLine();
  driver->InjectTestLine();
  EXPECT_EQ(driver->keeper()->HeldCount(), 2u);
  driver->Timer2Tick();
  EXPECT_EQ(driver->keeper()->HeldCount(), 2u);

  std::filesystem::remove(dir.Path("spool"));
  driver->Timer2Tick();
  EXPECT_EQ(driver->keeper()->HeldCount(), 0u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path("spool")), {}), 2);
}

TEST_F(DriverTest, HeldRecordsAreWrittenAtStopAndWhatCannotBeIsReported) {
  WriteIni("[main]\r\nSendK8=0\r\nPathForSoob=spool/\r\n");
  MakeDriver().Start();
  std::filesystem::remove_all(dir.Path("spool"));
  test::WriteBytes(dir.Path("spool"), {});
  driver->InjectTestLine();
  driver->RequestStop();
  ASSERT_TRUE(driver->WaitLinkStopped(0));
  EXPECT_EQ(driver->keeper()->HeldCount(), 1u);
  EXPECT_EQ(reporter.log_lines.back(), "При остановке не записано в спул записей: 1");
}

TEST(ClosePassword, IsAlwaysFiveDigitsInRange) {
  for (int i = 0; i < 200; ++i) {
    const std::string password = DrawClosePassword();
    ASSERT_EQ(password.size(), 5u);
    const int value = std::stoi(password);
    EXPECT_GE(value, 10000);
    EXPECT_LE(value, 99998);
  }
}

}  // namespace
}  // namespace drv

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSerialPort>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "integration/pty_pair.h"
#include "platform/qt_poll_timer.h"
#include "platform/qt_serial_device.h"
#include "platform/real_clock.h"
#include "receiver/com_names.h"
#include "receiver/serial_port_driver.h"

namespace drv {
namespace {

using test::PtyPair;
using Bytes = std::vector<uint8_t>;

// Generous: these waits end as soon as the condition holds.
constexpr qint64 kPatienceMs = 10000;

bool WaitUntil(const std::function<bool()>& done, bool run_event_loop = true) {
  QElapsedTimer elapsed;
  elapsed.start();
  while (!done()) {
    if (elapsed.elapsed() > kPatienceMs) return false;
    if (run_event_loop) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    } else {
      ::usleep(1000);
    }
  }
  return true;
}

Bytes Pattern(size_t count) {
  Bytes bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
  return bytes;
}

// The receiver's port as the window builds it: a pty mapped to COM7.
class PtySerialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    com_map = {{"COM7", pty.slave_path()}, {"COM8", "/dev/drvlarna-no-such-device"}};
    device = std::make_unique<QtSerialDevice>(Resolver());
    timer = std::make_unique<QtPollTimer>([this] { driver->PollPort(); });
    driver = std::make_unique<TSerialPortDriver>(*device, *timer, clock);
    driver->SetPortName("\\\\.\\COM7");
    driver->SetPacketSize(256);
    driver->SetPacketTimeout(200);
    driver->SetPacketMode(pmPass);
    driver->SetPollingDelay(5);
    driver->OnReceivePacket = [this](const uint8_t* data, uint32_t size) {
      received.insert(received.end(), data, data + size);
      sizes.push_back(size);
    };
  }

  void TearDown() override {
    if (driver) driver->ClosePort();
  }

  QtSerialDevice::Resolver Resolver() const {
    return [map = com_map](const std::string& name) { return ResolveDevicePath(name, map); };
  }

  PtyPair pty;
  std::map<std::string, std::string> com_map;
  RealClock clock;
  std::unique_ptr<QtSerialDevice> device;
  std::unique_ptr<QtPollTimer> timer;
  std::unique_ptr<TSerialPortDriver> driver;
  Bytes received;
  std::vector<uint32_t> sizes;
};

TEST_F(PtySerialTest, ReceiverLineReachesThePacketHandler) {
  ASSERT_TRUE(driver->OpenPort());
  ASSERT_TRUE(driver->PortOpen());
  const std::string line = "R A8001234567\r\n";
  const Bytes bytes(line.begin(), line.end());
  ASSERT_TRUE(pty.Write(bytes));
  ASSERT_TRUE(WaitUntil([&] { return received.size() >= bytes.size(); }));
  EXPECT_EQ(received, bytes);
}

TEST_F(PtySerialTest, LongStreamArrivesWholeAndInOrder) {
  ASSERT_TRUE(driver->OpenPort());
  const Bytes bytes = Pattern(3000);
  ASSERT_TRUE(pty.Write(bytes));
  ASSERT_TRUE(WaitUntil([&] { return received.size() >= bytes.size(); }));
  EXPECT_EQ(received, bytes);
  for (const uint32_t size : sizes) EXPECT_LE(size, 256u);
}

TEST_F(PtySerialTest, BytesWaitingCountsWithoutAnEventLoop) {
  QtSerialDevice raw(Resolver());
  ASSERT_TRUE(raw.Open("\\\\.\\COM7"));
  ASSERT_TRUE(raw.ApplyLineSettings(LineSettings{}));
  ASSERT_TRUE(pty.Write(Pattern(100)));
  std::optional<size_t> waiting;
  ASSERT_TRUE(WaitUntil(
      [&] {
        waiting = raw.BytesWaiting();
        return waiting && *waiting >= 100;
      },
      false));
  EXPECT_EQ(*waiting, 100u);
  Bytes buffer(256);
  EXPECT_EQ(raw.Read(buffer.data(), 60), std::optional<size_t>(60));
  EXPECT_EQ(raw.BytesWaiting(), std::optional<size_t>(40));
  EXPECT_EQ(raw.Read(buffer.data() + 60, 256), std::optional<size_t>(40));
  buffer.resize(100);
  EXPECT_EQ(buffer, Pattern(100));
  EXPECT_EQ(raw.BytesWaiting(), std::optional<size_t>(0));
}

TEST_F(PtySerialTest, PurgeDropsWhatWaits) {
  QtSerialDevice raw(Resolver());
  ASSERT_TRUE(raw.Open("\\\\.\\COM7"));
  ASSERT_TRUE(raw.ApplyLineSettings(LineSettings{}));
  ASSERT_TRUE(pty.Write(Pattern(50)));
  ASSERT_TRUE(WaitUntil([&] { return raw.BytesWaiting().value_or(0) >= 50; }, false));
  EXPECT_TRUE(raw.Purge(true, true));
  EXPECT_EQ(raw.BytesWaiting(), std::optional<size_t>(0));
}

TEST_F(PtySerialTest, SecondOpenOfTheSamePortFails) {
  ASSERT_TRUE(driver->OpenPort());

  QtSerialDevice second(Resolver());
  EXPECT_FALSE(second.Open("\\\\.\\COM7"));
  EXPECT_FALSE(second.IsOpen());

  QSerialPort other;
  other.setPortName(QString::fromStdString(pty.slave_path()));
  EXPECT_FALSE(other.open(QIODevice::ReadWrite));

  // Once closed, the port is free for others again.
  driver->ClosePort();
  EXPECT_TRUE(second.Open("\\\\.\\COM7"));
  second.Close();
}

TEST_F(PtySerialTest, PortHeldHereCannotBeOpenedByAnotherProcess) {
  ASSERT_TRUE(driver->OpenPort());
  const pid_t child = ::fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    QSerialPort other;
    other.setPortName(QString::fromStdString(pty.slave_path()));
    ::_exit(other.open(QIODevice::ReadWrite) ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the other process opened the port";
}

TEST_F(PtySerialTest, MissingDeviceFailsTheOpen) {
  const char* names[] = {"\\\\.\\COM8", "\\\\.\\", "\\\\.\\COMx", "\\\\.\\/dev/drvlarna-no-such-tty"};
  for (const char* name : names) {
    driver->SetPortName(name);
    EXPECT_FALSE(driver->OpenPort()) << name;
    EXPECT_FALSE(driver->PortOpen()) << name;
    EXPECT_FALSE(timer->IsActive()) << name;
  }
}

TEST_F(PtySerialTest, PollTimerRunsOnlyWhileOpen) {
  ASSERT_TRUE(driver->OpenPort());
  EXPECT_TRUE(timer->IsActive());
  driver->ClosePort();
  EXPECT_FALSE(timer->IsActive());
}

TEST_F(PtySerialTest, HostHearsOfArrivalAndOfALostDevice) {
  int arrivals = 0;
  int losses = 0;
  device->OnDataArrived = [&] { ++arrivals; };
  device->OnDeviceLost = [&] { ++losses; };
  ASSERT_TRUE(driver->OpenPort());
  ASSERT_TRUE(pty.Write(Pattern(10)));
  ASSERT_TRUE(WaitUntil([&] { return arrivals > 0; }));

  pty.CloseMaster();
  ASSERT_TRUE(WaitUntil([&] { return losses > 0; }));
  EXPECT_EQ(losses, 1);
  // The port still counts as open; only nothing comes any more.
  EXPECT_TRUE(driver->PortOpen());
  EXPECT_EQ(device->BytesWaiting(), std::nullopt);
}

}  // namespace
}  // namespace drv

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

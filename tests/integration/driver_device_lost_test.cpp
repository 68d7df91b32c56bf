// The driver program against a receiver line whose device goes away and comes back: a pty
// behind a symlink named in [ComMap], the program run headless in a folder of its own.
#include <poll.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "integration/driver_process.h"
#include "integration/pty_pair.h"

namespace drv {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::vector<uint8_t> EventLine() {
  const std::string text = "R A8001234567\r\n";
  return {text.begin(), text.end()};
}

size_t SpoolFileCount(const test::DriverProcess& driver) { return test::SpoolFiles(driver.work_dir()).size(); }

// Polls `done` every 20 ms for up to timeout_ms; the program under test runs meanwhile.
template <typename Done>
bool WaitUntil(Done done, int timeout_ms) {
  const auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (Clock::now() > until) return false;
    poll(nullptr, 0, 20);
  }
  return true;
}

void PointLink(const std::string& link, const std::string& target) {
  fs::remove(link);
  fs::create_symlink(target, link);
}

TEST(DriverDeviceLostTest, LostPortIsReopenedAndEventsFlowAgain) {
  test::DriverProcess driver;
  ASSERT_TRUE(driver.ok());
  const std::string link = driver.WorkPath("receiver-tty");
  auto first = std::make_unique<test::PtyPair>();
  ASSERT_TRUE(first->ok());
  PointLink(link, first->slave_path());
  // No server link: events go to spool files in the working folder.
  driver.WriteIni("[port]\r\nComPort=COM1\r\n[main]\r\nSendK8=0\r\n[ComMap]\r\nCOM1=" + link + "\r\n");

  ASSERT_TRUE(driver.Start());
  // The open port is proven by an event that arrives.
  ASSERT_TRUE(WaitUntil([&] {
    first->Write(EventLine());
    return WaitUntil([&] { return SpoolFileCount(driver) > 0; }, 1000);
  }, 15000));
  const size_t before = SpoolFileCount(driver);

  first->CloseMaster();
  ASSERT_TRUE(driver->WaitForText("Порт COM1 потерян, повторное открытие каждые 5 с.", 10000));

  auto second = std::make_unique<test::PtyPair>();
  ASSERT_TRUE(second->ok());
  first.reset();
  PointLink(link, second->slave_path());
  ASSERT_TRUE(driver->WaitForText("Порт COM1 снова открыт.", 15000));

  ASSERT_TRUE(second->Write(EventLine()));
  EXPECT_TRUE(WaitUntil([&] { return SpoolFileCount(driver) > before; }, 5000));
  driver->Stop();
  for (const std::string& line : driver->lines()) std::cout << "  driver: " << line << "\n";
}

}  // namespace
}  // namespace drv

// The driver program against a receiver line whose device goes away and comes back: a pty
// behind a symlink named in [ComMap], the program run headless in a folder of its own.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "integration/pty_pair.h"
#include "unit/spool/test_support.h"

extern char** environ;

namespace drv {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string DriverPath() {
  if (const char* dir = std::getenv("DRV_BUILD_DIR"); dir != nullptr && *dir != '\0') {
    return std::string(dir) + "/src/drvlarna";
  }
  return "src/drvlarna";
}

// `drvlarna --headless` in `work_dir`; its operator log (stdout) is read line by line.
class DriverProcess {
 public:
  ~DriverProcess() { Stop(); }

  bool Start(const std::string& work_dir) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return false;
    std::vector<std::string> words{DriverPath(), "--headless"};
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addchdir_np(&actions, work_dir.c_str());
    // A pty master inherited by the child would keep the line up after the test closes it.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    out_ = out[0];
    if (rc != 0) pid_ = -1;
    return rc == 0;
  }

  // Waits until a line containing `text` comes; lines before it are passed over.
  bool WaitForLine(const std::string& text, int timeout_ms) {
    const auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      for (auto end = pending_.find('\n'); end != std::string::npos; end = pending_.find('\n')) {
        const std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        seen_.push_back(line);
        if (line.find(text) != std::string::npos) return true;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
      if (out_ < 0 || left <= 0) return false;
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) != 1) return false;
      char piece[4096];
      const ssize_t n = read(out_, piece, sizeof piece);
      if (n <= 0) {
        close(out_);
        out_ = -1;
        continue;
      }
      pending_.append(piece, static_cast<std::size_t>(n));
    }
  }

  const std::vector<std::string>& seen() const { return seen_; }

  void Stop() {
    if (pid_ >= 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      const auto until = Clock::now() + std::chrono::seconds(10);
      while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (Clock::now() > until) {
          kill(pid_, SIGKILL);
          waitpid(pid_, &status, 0);
          break;
        }
        poll(nullptr, 0, 20);
      }
      pid_ = -1;
    }
    if (out_ >= 0) close(out_);
    out_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string pending_;
  std::vector<std::string> seen_;
};

std::vector<uint8_t> EventLine() {
  const std::string text = "R A8001234567\r\n";
  return {text.begin(), text.end()};
}

size_t SpoolFileCount(const test::TempDir& dir) {
  size_t count = 0;
  for (const std::string& name : dir.Names()) count += name.ends_with(".dd8") ? 1 : 0;
  return count;
}

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
  test::TempDir dir;
  const std::string link = dir.Path("receiver-tty");
  auto first = std::make_unique<test::PtyPair>();
  ASSERT_TRUE(first->ok());
  PointLink(link, first->slave_path());
  // No server link: events go to spool files in the working folder.
  std::ofstream(dir.Path("drvlarna.ini"), std::ios::binary)
      << "[port]\r\nComPort=COM1\r\n[main]\r\nSendK8=0\r\n[ComMap]\r\nCOM1=" << link << "\r\n";

  DriverProcess driver;
  ASSERT_TRUE(driver.Start(dir.Path()));
  // The open port is proven by an event that arrives.
  ASSERT_TRUE(WaitUntil([&] {
    first->Write(EventLine());
    return WaitUntil([&] { return SpoolFileCount(dir) > 0; }, 1000);
  }, 15000));
  const size_t before = SpoolFileCount(dir);

  first->CloseMaster();
  ASSERT_TRUE(driver.WaitForLine("Порт COM1 потерян, повторное открытие каждые 5 с.", 10000));

  auto second = std::make_unique<test::PtyPair>();
  ASSERT_TRUE(second->ok());
  first.reset();
  PointLink(link, second->slave_path());
  ASSERT_TRUE(driver.WaitForLine("Порт COM1 снова открыт.", 15000));

  ASSERT_TRUE(second->Write(EventLine()));
  EXPECT_TRUE(WaitUntil([&] { return SpoolFileCount(dir) > before; }, 5000));
  driver.Stop();
  for (const std::string& line : driver.seen()) std::cout << "  driver: " << line << "\n";
}

}  // namespace
}  // namespace drv

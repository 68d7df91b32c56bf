// The built program as a window on the offscreen platform: the screenshot option and the end
// by a termination signal.
#include <gtest/gtest.h>

#include <QImage>
#include <QTemporaryDir>
#include <fstream>
#include <optional>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace drv {
namespace {

// The program started in `dir` with the offscreen platform; the destructor kills what is left.
class WindowProcess {
 public:
  WindowProcess(const std::string& dir, std::vector<std::string> args) {
    std::vector<std::string> words{DRV_DRVLARNA_PATH};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_words{"QT_QPA_PLATFORM=offscreen"};
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::string(*e).rfind("QT_QPA_PLATFORM=", 0) != 0) env_words.emplace_back(*e);
    }
    std::vector<char*> env;
    for (auto& w : env_words) env.push_back(w.data());
    env.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), env.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~WindowProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // The exit code once the program has ended by itself; nothing when it ran on for about
  // ten seconds or was ended by a signal.
  std::optional<int> WaitExit() {
    for (int i = 0; i < 1000; ++i) {
      int status = 0;
      const pid_t done = waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        pid_ = -1;
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        return std::nullopt;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::nullopt;
  }

  // True once the program catches SIGTERM itself, i.e. its handler is in place.
  bool CatchesSigterm() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("SigCgt:", 0) == 0) {
        const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
        return (mask >> (SIGTERM - 1)) & 1U;
      }
    }
    return false;
  }

 private:
  pid_t pid_ = -1;
};

class WindowProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(work_.isValid());
    std::ofstream ini(work_.filePath("drvlarna.ini").toStdString(), std::ios::binary);
    ini << "[main]\r\nSendK8=0\r\n";
  }
  std::string Dir() const { return work_.path().toStdString(); }

  QTemporaryDir work_;
};

TEST_F(WindowProgramTest, ScreenshotOptionWritesTheWindowAndEnds) {
  WindowProcess program(Dir(), {"--screenshot", "shot.png"});
  ASSERT_TRUE(program.started());
  EXPECT_EQ(program.WaitExit(), std::optional<int>(0));
  const QImage shot(work_.filePath("shot.png"));
  ASSERT_FALSE(shot.isNull());
  EXPECT_EQ(shot.size(), QSize(447, 332));
}

TEST_F(WindowProgramTest, SigtermEndsTheWindowCleanly) {
  WindowProcess program(Dir(), {});
  ASSERT_TRUE(program.started());
  for (int i = 0; i < 500 && !program.CatchesSigterm(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(program.CatchesSigterm());
  kill(program.pid(), SIGTERM);
  EXPECT_EQ(program.WaitExit(), std::optional<int>(0));
}

}  // namespace
}  // namespace drv

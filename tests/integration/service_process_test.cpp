// The built driver as a service manager and an administrator meet it: its command line, its
// notifications on a datagram socket given as NOTIFY_SOCKET, its metrics file and backlog
// lines, and the shipped systemd units.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "base/version.h"
#include "integration/driver_process.h"
#include "integration/pty_pair.h"
#include "support/temp_dir.h"

namespace drv {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

template <typename Done>
bool WaitUntil(Done done, int timeout_ms) {
  const auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (Clock::now() > until) return false;
    ::poll(nullptr, 0, 50);
  }
  return true;
}

std::string Program() { return test::BuiltProgram("src/drvlarna"); }

// Runs the program to its end: everything it printed on stdout, its stderr, and how it ended.
struct Outcome {
  std::string out;
  std::string err;
  std::string ending;
};

Outcome RunToEnd(const std::vector<std::string>& words, const test::TempDir& dir) {
  test::ChildProcess child;
  Outcome outcome;
  if (!child.Start(words, {.work_dir = dir.Path(), .stderr_path = dir.Path("stderr.txt")})) return outcome;
  while (const auto line = child.ReadLine(15000)) outcome.out += *line + "\n";
  child.Stop();
  outcome.ending = child.ending();
  outcome.err = test::ReadWholeFile(dir.Path("stderr.txt"));
  fs::remove(dir.Path("stderr.txt"));
  return outcome;
}

struct CommandCase {
  const char* name;
  std::vector<std::string> args;  // after the program; "env" words go before it
  std::vector<std::string> env;
  const char* ending;
  const char* out_has;
  const char* err_has;
};

class CommandLine : public testing::TestWithParam<CommandCase> {};

TEST_P(CommandLine, AnswersAndEnds) {
  const CommandCase& c = GetParam();
  test::TempDir dir;
  std::vector<std::string> words = {"/usr/bin/env"};
  words.insert(words.end(), c.env.begin(), c.env.end());
  words.push_back(Program());
  words.insert(words.end(), c.args.begin(), c.args.end());
  const Outcome outcome = RunToEnd(words, dir);
  EXPECT_EQ(outcome.ending, c.ending) << outcome.err;
  EXPECT_NE(outcome.out.find(c.out_has), std::string::npos) << outcome.out;
  EXPECT_NE(outcome.err.find(c.err_has), std::string::npos) << outcome.err;
  EXPECT_EQ(dir.Names(), std::vector<std::string>{}) << "answering the command line writes no file";
}

const std::vector<std::string> kNoDisplay = {"-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM"};

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLine,
    testing::Values(
        CommandCase{"Help", {"--help"}, kNoDisplay, "exit 0", "--headless", ""},
        CommandCase{"HelpNamesTheFiles", {"--help"}, {}, "exit 0", "drvlarna-errors.log", ""},
        CommandCase{"Version", {"--version"}, kNoDisplay, "exit 0", kFileVersion, ""},
        CommandCase{"UnknownOptionGivesUsage", {"--verbose"}, {}, "exit 2", "", "usage: drvlarna"},
        CommandCase{"HeadlessAndUnknown", {"--headless", "-x"}, {}, "exit 2", "", "unknown option -x"},
        CommandCase{"NoDisplayNamesHeadless", {}, kNoDisplay, "exit 1", "", "--headless"}),
    [](const testing::TestParamInfo<CommandCase>& info) { return std::string(info.param.name); });

TEST(CommandLine, NoDisplayIsOneLineWithoutAbort) {
  test::TempDir dir;
  std::vector<std::string> words = {"/usr/bin/env"};
  words.insert(words.end(), kNoDisplay.begin(), kNoDisplay.end());
  words.push_back(Program());
  const Outcome outcome = RunToEnd(words, dir);
  EXPECT_EQ(outcome.ending, "exit 1");
  EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
}

// Without drvlarna.ini the driver says once where it runs and that the defaults apply, and
// leaves no configuration file behind.
TEST(HeadlessStart, WithoutIniSaysSoOnceAndCreatesNone) {
  test::DriverProcess driver;
  ASSERT_TRUE(driver.ok());
  ASSERT_TRUE(driver.Start());
  const auto line = driver->WaitForText("drvlarna.ini", 15000);
  ASSERT_TRUE(line);
  EXPECT_NE(line->find(driver.work_dir()), std::string::npos) << *line;
  EXPECT_NE(line->find("по умолчанию"), std::string::npos) << *line;
  driver->Drain(1500);
  EXPECT_EQ(driver->Stop(), 0);
  EXPECT_EQ(driver->CountLines("drvlarna.ini"), 1);
  EXPECT_FALSE(fs::exists(driver.WorkPath("drvlarna.ini")));
}

// A datagram socket standing in for the service manager's notification socket.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~NotifySocket() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }

  // The next message, or nothing within timeout_ms.
  std::optional<std::string> Receive(int timeout_ms) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) != 1) return std::nullopt;
    char buffer[4096];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n < 0) return std::nullopt;
    messages_.emplace_back(buffer, static_cast<std::size_t>(n));
    return messages_.back();
  }
  // Receives until a message starts with `prefix`; that message.
  std::optional<std::string> WaitFor(const std::string& prefix, int timeout_ms) {
    const auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (Clock::now() < until) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
      const auto message = Receive(static_cast<int>(left));
      if (message && message->rfind(prefix, 0) == 0) return message;
    }
    return std::nullopt;
  }
  const std::vector<std::string>& messages() const { return messages_; }

 private:
  std::string path_;
  int fd_ = -1;
  std::vector<std::string> messages_;
};

TEST(ServiceNotification, ReadyStatusWatchdogAndStopping) {
  test::DriverProcess driver;
  ASSERT_TRUE(driver.ok());
  NotifySocket socket(driver.WorkPath("notify.sock"));
  ASSERT_TRUE(socket.ok());
  driver.WriteIni("[main]\r\nSendK8=0\r\n");
  ASSERT_TRUE(driver->Start({"/usr/bin/env", "NOTIFY_SOCKET=" + driver.WorkPath("notify.sock"),
                             "WATCHDOG_USEC=1000000", Program(), "--headless"},
                            {.work_dir = driver.work_dir(), .stderr_path = driver.WorkPath("stderr.txt")}));
  const auto ready = socket.WaitFor("", 15000);
  ASSERT_TRUE(ready);
  EXPECT_EQ(*ready, "READY=1") << "ready comes first";
  const auto status = socket.WaitFor("STATUS=", 5000);
  ASSERT_TRUE(status);
  EXPECT_NE(status->find("сервер: отключён"), std::string::npos) << *status;
  EXPECT_NE(status->find("порт: закрыт"), std::string::npos) << *status;
  EXPECT_NE(status->find("Очередь"), std::string::npos) << *status;
  // Pings keep coming from the running main loop (every half second here).
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(socket.WaitFor("WATCHDOG=1", 10000)) << "ping " << i;

  ::kill(driver->pid(), SIGTERM);
  EXPECT_TRUE(socket.WaitFor("STOPPING=1", 15000));
  EXPECT_EQ(driver->Stop(), 0) << driver.Stderr();
}

// Spool files waiting show in the metrics file, the operator log and the backlog line; the
// metrics file carries the instance's label and every event line taken in.
TEST(ServiceMetrics, RunningDriverWritesMetricsAndTellsOfItsBacklog) {
  test::DriverProcess driver;
  ASSERT_TRUE(driver.ok());
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  // No server link: every event waits in the spool.
  driver.WriteIni("[port]\r\nComPort=COM1\r\n[main]\r\nSendK8=0\r\nMetricsFile=drvlarna.prom\r\n"
                  "PathForSoob=spool/\r\n[ComMap]\r\nCOM1=" + pty.slave_path() + "\r\n");
  fs::create_directories(driver.WorkPath("spool"));
  ASSERT_TRUE(driver->Start({"/usr/bin/env", "DRVLARNA_INSTANCE=north", Program(), "--headless"},
                            {.work_dir = driver.work_dir(), .stderr_path = driver.WorkPath("stderr.txt")}));
  const std::string line = "R A8001234567\r\n";
  const auto taken_in = [&] { return test::EventLinesInHexLog(driver.WorkPath("drvlarna.log")).size(); };
  // Written until the driver has taken three in (the port opens a moment after the start).
  ASSERT_TRUE(WaitUntil([&] {
    const size_t before = taken_in();
    pty.Write({line.begin(), line.end()});
    WaitUntil([&] { return taken_in() > before; }, 1000);
    return taken_in() >= 3;
  }, 20000));
  const auto started = driver->WaitForText("Есть неотправленные события", 30000);
  ASSERT_TRUE(started);
  EXPECT_NE(started->find("Очередь: файлов "), std::string::npos) << *started;

  // Every event line and every file waiting (the station-link records too) is counted.
  std::string metrics;
  ASSERT_TRUE(WaitUntil([&] {
    metrics = test::ReadWholeFile(driver.WorkPath("drvlarna.prom"));
    const std::string files = std::to_string(test::SpoolFiles(driver.WorkPath("spool")).size());
    return metrics.find("drvlarna_spool_files{instance=\"north\"} " + files + "\n") != std::string::npos &&
           metrics.find("drvlarna_lines_received_total{instance=\"north\"} " + std::to_string(taken_in()) +
                        "\n") != std::string::npos;
  }, 30000)) << metrics;
  EXPECT_NE(metrics.find("drvlarna_port_open{instance=\"north\"} 1\n"), std::string::npos) << metrics;
  EXPECT_NE(metrics.find("# TYPE drvlarna_events_spooled_total counter\n"), std::string::npos) << metrics;
  EXPECT_FALSE(fs::exists(driver.WorkPath("drvlarna.prom.tmp")));
  EXPECT_EQ(driver->Stop(), 0);
}

// --- the shipped units ---

std::string SourcePath(const std::string& relative) { return std::string(DRV_SOURCE_DIR) + "/" + relative; }

std::string Shell(const std::string& command, int* status = nullptr) {
  std::string out;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    while (const size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
    const int code = ::pclose(pipe);
    if (status != nullptr) *status = code;
  }
  return out;
}

const std::vector<std::string> kUnits = {"packaging/drvlarna.service", "packaging/drvlarna@.service"};

TEST(ServiceUnits, SecurityExposureAtMostTwo) {
  if (Shell("command -v systemd-analyze").empty()) GTEST_SKIP() << "systemd-analyze is not installed";
  for (const std::string& unit : kUnits) {
    // An instance name for the template, as systemd-analyze wants a unit it could start.
    const std::string dir = ::testing::TempDir();
    const std::string name = fs::path(unit).filename().string() == "drvlarna@.service" ? "drvlarna@test.service"
                                                                                      : "drvlarna.service";
    fs::copy_file(SourcePath(unit), dir + "/" + name, fs::copy_options::overwrite_existing);
    const std::string out = Shell("systemd-analyze security --offline=yes --no-pager " + dir + "/" + name + " 2>&1");
    std::smatch match;
    ASSERT_TRUE(std::regex_search(out, match, std::regex("Overall exposure level for [^:]+: ([0-9.]+)"))) << out;
    EXPECT_LE(std::stod(match[1]), 2.0) << unit << "\n" << out;
  }
}

// The unit's sandbox around the real program, where systemd runs this machine.
TEST(ServiceUnits, DriverRunsInsideTheUnitSandbox) {
  if (test::ReadWholeFile("/proc/1/comm") != "systemd\n") {
    GTEST_SKIP() << "systemd is not PID 1 here, so no transient unit can be started";
  }
  // The unit's [Service] properties, with a state folder and notification rule of the test's own.
  std::ifstream in(SourcePath("packaging/drvlarna.service"));
  std::vector<std::string> properties;
  bool service = false;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      service = line == "[Service]";
      continue;
    }
    if (!service) continue;
    const std::string key = line.substr(0, line.find('='));
    if (key == "ExecStart" || key == "StateDirectory" || key == "WorkingDirectory" || key == "Restart" ||
        key == "RestartSec" || key == "NotifyAccess") {
      continue;
    }
    properties.push_back(line);
  }
  const std::string unit = "drvlarna-sandbox-test-" + std::to_string(::getpid());
  std::string command = "systemd-run --quiet --collect --unit=" + unit +
                        " -p StateDirectory=" + unit + " -p WorkingDirectory=/var/lib/" + unit +
                        " -p NotifyAccess=main";
  for (const std::string& p : properties) command += " -p '" + p + "'";
  command += " " + fs::absolute(Program()).string() + " --headless 2>&1";
  int status = 0;
  const std::string out = Shell(command, &status);
  // systemd-run returns once the start job is done: with Type=notify, once READY=1 came.
  EXPECT_EQ(status, 0) << command << "\n" << out;
  EXPECT_EQ(Shell("systemctl is-active " + unit), "active\n");
  Shell("systemctl stop " + unit);
  const std::string journal = Shell("journalctl --no-pager -q -u " + unit);
  EXPECT_EQ(journal.find("Operation not permitted"), std::string::npos) << journal;
}

}  // namespace
}  // namespace drv

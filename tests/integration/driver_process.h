#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "base/date_time.h"
#include "support/temp_dir.h"

namespace drv::test {

// A built program of this project: $DRV_BUILD_DIR/<relative> under ctest, else relative to
// the current directory.
inline std::string BuiltProgram(const std::string& relative) {
  if (const char* dir = std::getenv("DRV_BUILD_DIR"); dir != nullptr && *dir != '\0') {
    return std::string(dir) + "/" + relative;
  }
  return relative;
}

// A loopback port that nothing listens on at the moment, for a server started later.
inline int FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = -1;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(fd);
  return port;
}

struct ChildLaunch {
  std::string work_dir;     // empty: the test's own
  std::string stderr_path;  // empty: inherited
  uint64_t file_size_limit = 0;  // RLIMIT_FSIZE in bytes, 0 = unchanged; SIGXFSZ is then ignored
};

// Local wall time as the driver stamps its records: days since 1899-12-30.
inline double LocalNow() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  ::localtime_r(&now.tv_sec, &local);
  return MakeDateTime({.year = local.tm_year + 1900,
                       .month = local.tm_mon + 1,
                       .day = local.tm_mday,
                       .hour = local.tm_hour,
                       .minute = local.tm_min,
                       .second = local.tm_sec,
                       .millisecond = static_cast<int>(now.tv_nsec / 1000000)});
}

// One message as the reference server printed it: "<type> seq=<n> ... payload=<HEX>".
struct ServerMessage {
  std::string type;
  std::vector<uint8_t> payload;
  double received = 0;  // LocalNow() when the test read the line
};

inline std::optional<ServerMessage> ParseServerLine(const std::string& line) {
  const auto space = line.find(' ');
  const auto hex = line.rfind(" payload=");
  if (space == std::string::npos || hex == std::string::npos) return std::nullopt;
  ServerMessage m;
  m.type = line.substr(0, space);
  const std::string digits = line.substr(hex + 9);
  if (digits.size() % 2 != 0) return std::nullopt;
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    m.payload.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  }
  m.received = LocalNow();
  return m;
}

// The *.dd8 files of a spool folder.
inline std::vector<std::filesystem::path> SpoolFiles(const std::string& folder) {
  std::vector<std::filesystem::path> files;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    if (entry.path().extension() == ".dd8") files.push_back(entry.path());
  }
  return files;
}

// The event lines the driver took in, rebuilt from its hex log "drvlarna.log": every 15-byte
// line starting with R, in arrival order. The log is written before a packet is taken apart,
// so it tells which lines the driver has seen whatever happened to them afterwards.
inline std::vector<std::string> EventLinesInHexLog(const std::string& log_path) {
  std::istringstream log(ReadWholeFile(log_path));
  std::string text_line;
  std::string current;
  std::vector<std::string> events;
  while (std::getline(log, text_line)) {
    const auto dash = text_line.find(" - ");
    if (dash == std::string::npos) continue;
    std::istringstream hex(text_line.substr(dash + 3));
    std::string pair;
    while (hex >> pair) {
      const char byte = static_cast<char>(std::stoi(pair, nullptr, 16));
      current += byte;
      if (byte != '\n') continue;
      if (current.size() == 15 && current[0] == 'R') events.push_back(current);
      current.clear();
    }
  }
  return events;
}

// A "drvlarna.ini" for the tests: CR LF lines, the receiver's pty mapped to COM1.
struct DriverConfig {
  std::string device;
  int server_port = 0;
  bool send_k8 = true;
  bool log = true;
  int first_number = 31;
  std::string spool_prefix = "spool/";
  std::string attention = "00:10:00";
};

inline std::string MakeIni(const DriverConfig& c) {
  std::string ini;
  auto line = [&](const std::string& text) { ini += text + "\r\n"; };
  line("[port]");
  line("ComPort=COM1");
  line("[main]");
  line(std::string("SendK8=") + (c.send_k8 ? "1" : "0"));
  line(std::string("Log=") + (c.log ? "1" : "0"));
  line("FirstNumber=" + std::to_string(c.first_number));
  line("PathForSoob=" + c.spool_prefix);
  line("Attention=" + c.attention);
  line("[ComMap]");
  line("COM1=" + c.device);
  line("[ServerHost]");
  line("Address=127.0.0.1");
  line("Port=" + std::to_string(c.server_port));
  return ini;
}

// A child program whose stdout is read line by line; stderr goes to a file. Every wait is
// bounded; the destructor ends the child whatever its state.
class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() { Kill(); }

  bool Start(const std::vector<std::string>& words, const ChildLaunch& launch = {}) {
    if (pid_ >= 0) return false;
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return false;
    int err = -1;
    if (!launch.stderr_path.empty()) {
      err = ::open(launch.stderr_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
    // Everything the child needs is prepared before the fork: after it only async-signal-safe
    // calls are allowed in a threaded parent.
    std::vector<std::string> copy = words;
    std::vector<char*> argv;
    for (auto& w : copy) argv.push_back(w.data());
    argv.push_back(nullptr);
    const char* dir = launch.work_dir.empty() ? nullptr : launch.work_dir.c_str();
    const rlimit limit{launch.file_size_limit, launch.file_size_limit};

    const pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      if (err >= 0) ::dup2(err, STDERR_FILENO);
      if (dir != nullptr && ::chdir(dir) != 0) ::_exit(126);
      // A pty master inherited by the child would keep the line up after the test closes it.
      ::close_range(STDERR_FILENO + 1, ~0U, 0);
      if (launch.file_size_limit != 0) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        ::sigaction(SIGXFSZ, &ignore, nullptr);
        ::setrlimit(RLIMIT_FSIZE, &limit);
      }
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    if (err >= 0) ::close(err);
    if (pid < 0) {
      ::close(out[0]);
      return false;
    }
    pid_ = pid;
    out_ = out[0];
    pending_.clear();
    exit_code_.reset();
    return true;
  }

  bool running() const { return pid_ >= 0; }
  pid_t pid() const { return pid_; }

  // The next stdout line; nothing when none comes within timeout_ms or the output ended.
  std::optional<std::string> ReadLine(int timeout_ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      if (const auto end = pending_.find('\n'); end != std::string::npos) {
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        lines_.push_back(line);
        return line;
      }
      if (out_ < 0) return std::nullopt;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
      pollfd p{out_, POLLIN, 0};
      if (left < 0 || ::poll(&p, 1, static_cast<int>(left)) != 1) return std::nullopt;
      char piece[4096];
      const ssize_t n = ::read(out_, piece, sizeof piece);
      if (n <= 0) {
        ::close(out_);
        out_ = -1;
        continue;
      }
      pending_.append(piece, static_cast<std::size_t>(n));
    }
  }

  // Reads lines until one satisfies `match`; that line, or nothing after timeout_ms.
  std::optional<std::string> WaitForLine(const std::function<bool(const std::string&)>& match, int timeout_ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
      if (left <= 0) return std::nullopt;
      const std::optional<std::string> line = ReadLine(static_cast<int>(left));
      if (!line) return std::nullopt;
      if (match(*line)) return line;
    }
  }
  std::optional<std::string> WaitForText(const std::string& text, int timeout_ms) {
    return WaitForLine([&](const std::string& line) { return line.find(text) != std::string::npos; }, timeout_ms);
  }

  // Takes in whatever stdout holds now or brings within timeout_ms, without waiting for more.
  void Drain(int timeout_ms) {
    while (ReadLine(timeout_ms)) {
    }
  }

  // Every stdout line read so far, in order.
  const std::vector<std::string>& lines() const { return lines_; }
  int CountLines(const std::string& text) const {
    int n = 0;
    for (const auto& line : lines_) n += line.find(text) != std::string::npos ? 1 : 0;
    return n;
  }

  // SIGTERM, then SIGKILL if the child has not ended within timeout_ms. The exit code when it
  // exited by itself; nothing when a signal ended it.
  std::optional<int> Stop(int timeout_ms = 10000) { return End(SIGTERM, timeout_ms); }
  // The same with another signal.
  std::optional<int> EndWith(int signal, int timeout_ms = 10000) { return End(signal, timeout_ms); }
  void Kill() { End(SIGKILL, 5000); }

  // How the child ended, once it has: "exit N" or "signal N".
  const std::string& ending() const { return ending_; }

 private:
  std::optional<int> End(int signal, int timeout_ms) {
    if (pid_ >= 0) {
      ::kill(pid_, signal);
      const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
      int status = 0;
      pid_t done = 0;
      while ((done = ::waitpid(pid_, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < until) {
        ::poll(nullptr, 0, 20);
      }
      if (done == 0) {
        ::kill(pid_, SIGKILL);
        done = ::waitpid(pid_, &status, 0);
      }
      if (done == pid_) {
        if (WIFEXITED(status)) {
          exit_code_ = WEXITSTATUS(status);
          ending_ = "exit " + std::to_string(*exit_code_);
        } else if (WIFSIGNALED(status)) {
          ending_ = "signal " + std::to_string(WTERMSIG(status));
        }
      }
      pid_ = -1;
    }
    Drain(0);
    if (out_ >= 0) ::close(out_);
    out_ = -1;
    return exit_code_;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  std::string pending_;
  std::vector<std::string> lines_;
  std::optional<int> exit_code_;
  std::string ending_;
};

// The built driver run headless in a temporary work folder of its own: the test writes
// "drvlarna.ini" there, starts the driver, reads its operator log lines from stdout and ends
// it with SIGTERM (an orderly stop) or SIGKILL (a crash). Its stderr is kept in stderr.txt.
class DriverProcess {
 public:
  DriverProcess() {
    std::string pattern = (std::filesystem::temp_directory_path() / "drvlarna-e2e-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) work_dir_ = pattern;
  }
  ~DriverProcess() {
    child_.Kill();
    if (!work_dir_.empty() && std::getenv("DRV_KEEP_WORK") == nullptr) {
      std::error_code ignored;
      std::filesystem::remove_all(work_dir_, ignored);
    }
  }
  DriverProcess(const DriverProcess&) = delete;
  DriverProcess& operator=(const DriverProcess&) = delete;

  bool ok() const { return !work_dir_.empty(); }
  const std::string& work_dir() const { return work_dir_; }
  std::string WorkPath(const std::string& name) const { return work_dir_ + "/" + name; }

  void WriteIni(const std::string& text) const {
    std::ofstream out(WorkPath("drvlarna.ini"), std::ios::binary | std::ios::trunc);
    out << text;
  }

  bool Start(uint64_t file_size_limit = 0) {
    return child_.Start({BuiltProgram("src/drvlarna"), "--headless"},
                        {.work_dir = work_dir_,
                         .stderr_path = WorkPath("stderr.txt"),
                         .file_size_limit = file_size_limit});
  }

  std::string Stderr() const { return ReadWholeFile(WorkPath("stderr.txt")); }
  ChildProcess& process() { return child_; }
  ChildProcess* operator->() { return &child_; }

 private:
  std::string work_dir_;
  ChildProcess child_;
};

}  // namespace drv::test

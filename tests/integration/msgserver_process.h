#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace drv::test {

// The built reference server: $DRV_BUILD_DIR/tools/msgserver/msgserver under ctest, else the
// path the build compiled in.
inline std::string MsgServerPath() {
  if (const char* dir = std::getenv("DRV_BUILD_DIR"); dir != nullptr && *dir != '\0') {
    return std::string(dir) + "/tools/msgserver/msgserver";
  }
#ifdef DRV_MSGSERVER_PATH
  return DRV_MSGSERVER_PATH;
#else
  return "tools/msgserver/msgserver";
#endif
}

// The reference server as a child process on an ephemeral loopback port, its stdout read
// line by line. Every wait is bounded; the destructor ends the child whatever its state.
class MsgServerProcess {
 public:
  MsgServerProcess() = default;
  MsgServerProcess(const MsgServerProcess&) = delete;
  MsgServerProcess& operator=(const MsgServerProcess&) = delete;
  ~MsgServerProcess() { Stop(); }

  // Starts with "--port 0" and `args`; true once it has printed its port.
  bool Start(const std::vector<std::string>& args) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return false;
    std::vector<std::string> words{MsgServerPath(), "--port", "0"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    out_ = out[0];
    if (rc != 0) {
      pid_ = -1;
      return false;
    }
    const std::optional<std::string> first = ReadLine();
    const std::string prefix = "listening on ";
    if (!first || first->rfind(prefix, 0) != 0) return false;
    port_ = std::atoi(first->c_str() + prefix.size());
    return port_ > 0;
  }

  int port() const { return port_; }
  pid_t pid() const { return pid_; }

  // Ends the child at once with SIGKILL, as a crash or a pulled cable would.
  void Kill() {
    if (pid_ >= 0) {
      kill(pid_, SIGKILL);
      Reap();
    }
    if (out_ >= 0) {
      close(out_);
      out_ = -1;
    }
  }

  // The next line of stdout; nothing when none comes within timeout_ms or the output ended.
  std::optional<std::string> ReadLine(int timeout_ms = 5000) {
    for (;;) {
      if (const auto end = pending_.find('\n'); end != std::string::npos) {
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return line;
      }
      if (out_ < 0) return std::nullopt;
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, timeout_ms) != 1) return std::nullopt;
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

  // Waits for the child to end by itself; its exit code, or nothing when it is still running
  // after timeout_ms (or was ended by a signal).
  std::optional<int> WaitExit(int timeout_ms = 5000) {
    if (pid_ < 0) return exit_code_;
    // The end of stdout marks the end of the process; lines on the way are kept for ReadLine.
    while (out_ >= 0) {
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, timeout_ms) != 1) return std::nullopt;
      char piece[4096];
      const ssize_t n = read(out_, piece, sizeof piece);
      if (n <= 0) {
        close(out_);
        out_ = -1;
      } else {
        pending_.append(piece, static_cast<std::size_t>(n));
      }
    }
    Reap();
    return exit_code_;
  }

  // Asks the child to end with SIGTERM, kills it if it does not, and returns its exit code.
  std::optional<int> Stop() {
    if (pid_ >= 0) {
      kill(pid_, SIGTERM);
      if (!WaitExit()) {
        kill(pid_, SIGKILL);
        Reap();
      }
    }
    if (out_ >= 0) {
      close(out_);
      out_ = -1;
    }
    return exit_code_;
  }

 private:
  void Reap() {
    int status = 0;
    if (waitpid(pid_, &status, 0) == pid_ && WIFEXITED(status)) exit_code_ = WEXITSTATUS(status);
    pid_ = -1;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int port_ = 0;
  std::string pending_;
  std::optional<int> exit_code_;
};

}  // namespace drv::test

// Receiver simulator: plays the alarm receiver's side of the serial line for bench work and
// the end-to-end tests. It only writes; nothing read back from the line is looked at.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <random>
#include <string>

#include "sim_options.h"

namespace drv::receiversim {
namespace {

using SteadyClock = std::chrono::steady_clock;

volatile std::sig_atomic_t g_stop = 0;
volatile std::sig_atomic_t g_go = 0;

void OnSignal(int) { g_stop = 1; }
void OnGo(int) { g_go = 1; }

void InstallSignals() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a blocked write or sleep must come back so the stop is seen.
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  action.sa_handler = OnGo;
  sigaction(SIGUSR1, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

void Say(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// Sleeps in small steps so a signal ends the wait at once. False when stopped.
bool SleepMs(long ms) {
  const auto until = SteadyClock::now() + std::chrono::milliseconds(ms);
  while (!g_stop) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - SteadyClock::now()).count();
    if (left <= 0) return true;
    ::poll(nullptr, 0, static_cast<int>(left > 50 ? 50 : left));
  }
  return false;
}

// The write end of the line: our own pseudo-terminal master, or a device given by path.
class Line {
 public:
  ~Line() { Close(); }

  bool OpenPty(const std::string& link) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return Fail("posix_openpt");
    char name[128] = {};
    if (::ptsname_r(master_, name, sizeof name) != 0) return Fail("ptsname");
    path_ = name;
    // Bytes that arrive before the driver opens its side are taken in under the slave's
    // settings; raw mode keeps CR and LF as they are and echoes nothing. Holding the slave
    // keeps those settings for the driver's open.
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) return Fail("open slave");
    termios t{};
    if (::tcgetattr(slave_, &t) == 0) {
      ::cfmakeraw(&t);
      ::tcsetattr(slave_, TCSANOW, &t);
    }
    if (!link.empty()) {
      const std::string temp = link + ".new";
      ::unlink(temp.c_str());
      // A new link is renamed over the old one, so the path is never missing while switching.
      if (::symlink(path_.c_str(), temp.c_str()) != 0 || ::rename(temp.c_str(), link.c_str()) != 0) {
        return Fail("symlink " + link);
      }
    }
    return true;
  }

  bool OpenDevice(const std::string& path) {
    master_ = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) return Fail("open " + path);
    path_ = path;
    return true;
  }

  const std::string& path() const { return path_; }

  // Writes all bytes; false when the line is gone or a stop was asked for.
  bool Write(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      if (g_stop) return false;
      const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        std::fprintf(stderr, "receiver-sim: write: %s\n", std::strerror(errno));
        return false;
      }
    }
    return true;
  }

  void Close() {
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
    slave_ = master_ = -1;
  }

 private:
  bool Fail(const std::string& what) {
    std::fprintf(stderr, "receiver-sim: %s: %s\n", what.c_str(), std::strerror(errno));
    Close();
    return false;
  }

  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

// Printable form of a line for --verbose: control bytes and non-ASCII escaped.
std::string Shown(const std::string& bytes) {
  std::string out;
  for (const unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    }
  }
  return out;
}

class Simulator {
 public:
  explicit Simulator(const SimOptions& o) : o_(o), random_(o.seed) {}

  int Run() {
    if (!Open()) return 1;
    std::ifstream file_stream;
    std::istream* lines = nullptr;
    if (!o_.file.empty()) {
      if (o_.file == "-") {
        lines = &std::cin;
      } else {
        file_stream.open(o_.file, std::ios::binary);
        if (!file_stream) {
          std::fprintf(stderr, "receiver-sim: cannot read %s\n", o_.file.c_str());
          return 1;
        }
        lines = &file_stream;
      }
    }

    // A driver purges its port when it opens it, so lines written earlier would never count.
    while (o_.wait_usr1 && !g_go && !g_stop) SleepMs(20);
    if (o_.wait_usr1 && !g_stop) Say("go");
    const auto start = SteadyClock::now();
    auto next_due = start;
    long sent = 0;
    long wire_lines = 0;
    while (!g_stop) {
      if (o_.count != 0 && sent >= o_.count) break;
      if (o_.duration > 0 && SteadyClock::now() - start >= std::chrono::duration<double>(o_.duration)) break;

      std::string line;
      if (lines != nullptr) {
        if (!std::getline(*lines, line)) break;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        line += "\r\n";
      } else {
        line = EventLine(Account(sent), o_.codes[static_cast<std::size_t>(sent) % o_.codes.size()]);
      }

      if (o_.rate > 0) {
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next_due - SteadyClock::now());
        if (wait.count() > 0 && !SleepMs(wait.count())) break;
        next_due += std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(1.0 / o_.rate));
      }
      if (o_.garbage > 0 && !Send(Junk(static_cast<std::size_t>(o_.garbage)), "garbage")) break;
      if (o_.long_lines && ++wire_lines % 10 == 0) {
        if (!Send(Junk(1000), "junk")) break;
        ++wire_lines;
      }
      if (!Send(line, "line")) break;
      ++sent;

      if (o_.pause_every != 0 && sent % o_.pause_every == 0 && o_.pause_ms > 0) {
        if (o_.verbose) Say("pause " + std::to_string(o_.pause_ms));
        if (!SleepMs(o_.pause_ms)) break;
        next_due = SteadyClock::now();
      }
      if (o_.close_after != 0 && sent == o_.close_after) {
        line_.Close();
        Say("closed " + line_.path());
        if (o_.reopen_after_ms < 0) return 0;
        if (!SleepMs(o_.reopen_after_ms) || !Open()) break;
        next_due = SteadyClock::now();
      }
    }
    if (o_.hold) {
      while (!g_stop) SleepMs(1000);
    } else if (!g_stop) {
      // Closing at once would hang up the line before the reader has taken the last bytes.
      SleepMs(o_.linger_ms);
    }
    return 0;
  }

 private:
  bool Open() {
    const bool ok = o_.device.empty() ? line_.OpenPty(o_.link) : line_.OpenDevice(o_.device);
    if (ok) Say("device " + line_.path());
    return ok;
  }

  std::string Account(long index) const {
    if (!o_.accounts.empty()) return o_.accounts[static_cast<std::size_t>(index) % o_.accounts.size()];
    char digits[8];
    std::snprintf(digits, sizeof digits, "%05ld", (o_.first_account + index) % 100000);
    return digits;
  }

  // Junk that ends in a line feed and holds no other, so the next line starts clean; it never
  // starts with R, so it can never pass for an event line itself.
  std::string Junk(std::size_t size) {
    std::string bytes(size, '\n');
    std::uniform_int_distribution<int> byte(0, 255);
    for (std::size_t i = 0; i + 1 < size; ++i) {
      char c = '\n';
      while (c == '\n' || (i == 0 && c == 'R')) c = static_cast<char>(byte(random_));
      bytes[i] = c;
    }
    return bytes;
  }

  bool Send(const std::string& bytes, const char* what) {
    if (o_.split && bytes.size() > 1) {
      std::uniform_int_distribution<std::size_t> cut_at(1, bytes.size() - 1);
      const std::size_t cut = cut_at(random_);
      if (!line_.Write(bytes.substr(0, cut)) || !SleepMs(o_.split_ms) || !line_.Write(bytes.substr(cut))) return false;
    } else if (!line_.Write(bytes)) {
      return false;
    }
    if (o_.verbose) Say(std::string(what) + " " + (std::string(what) == "line" ? Shown(bytes) : std::to_string(bytes.size())));
    return true;
  }

  const SimOptions& o_;
  std::mt19937 random_;
  Line line_;
};

}  // namespace
}  // namespace drv::receiversim

int main(int argc, char** argv) {
  using namespace drv::receiversim;
  std::string error;
  const std::optional<SimOptions> options = ParseSimOptions(argc, argv, error);
  if (!options) {
    std::fprintf(stderr, "receiver-sim: %s\n%s", error.c_str(), kSimUsage);
    return 2;
  }
  if (options->help) {
    std::fputs(kSimUsage, stdout);
    return 0;
  }
  InstallSignals();
  Simulator simulator(*options);
  return simulator.Run();
}

// Reference message server: answers the driver's frames one by one and prints every message,
// with optional misbehaviour for tests. One client at a time; a new connection replaces the old.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "message_line.h"
#include "options.h"
#include "responder.h"
#include "wire/frames.h"

namespace drv::msgserver {
namespace {

// The driver's frames are a few dozen bytes; a larger announcement is garbage or an attack
// and must not make the server buffer it.
constexpr int32_t kMaxClientMessage = 1 << 20;
constexpr int kWriteTimeoutMs = 2000;

int g_signal_pipe[2] = {-1, -1};

void OnSignal(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = write(g_signal_pipe[1], &byte, 1);
  errno = saved;
}

int g_mute_pipe[2] = {-1, -1};

void OnMuteSignal(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = write(g_mute_pipe[1], &byte, 1);
  errno = saved;
}

bool InstallSignals() {
  if (pipe2(g_mute_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  if (pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  struct sigaction mute {};
  mute.sa_handler = OnMuteSignal;
  sigemptyset(&mute.sa_mask);
  mute.sa_flags = SA_RESTART;
  sigaction(SIGUSR1, &mute, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  return true;
}

void PrintLine(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

int Listen(const ServerOptions& options) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(options.port);
  if (const int rc = getaddrinfo(options.address.c_str(), port.c_str(), &hints, &found); rc != 0) {
    std::fprintf(stderr, "msgserver: cannot resolve %s: %s\n", options.address.c_str(), gai_strerror(rc));
    return -1;
  }
  int fd = -1;
  for (const addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
    fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) continue;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, a->ai_addr, a->ai_addrlen) != 0 || listen(fd, 4) != 0) {
      std::fprintf(stderr, "msgserver: cannot listen on %s port %s: %s\n", options.address.c_str(), port.c_str(),
                   std::strerror(errno));
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(found);
  return fd;
}

int LocalPort(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return -1;
  if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

bool SendAll(int fd, const std::vector<uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd, POLLOUT, 0};
      if (poll(&p, 1, kWriteTimeoutMs) <= 0) return false;
    } else {
      return false;
    }
  }
  return true;
}

class Server {
 public:
  Server(const ServerOptions& options, int listen_fd)
      : responder_(options), timing_(options.timing), listen_fd_(listen_fd) {}
  ~Server() { CloseClient(nullptr); }

  // Runs until a signal or --exit-after ends it.
  void Run() {
    while (!stop_) {
      pollfd fds[4] = {{g_signal_pipe[0], POLLIN, 0}, {g_mute_pipe[0], POLLIN, 0}, {listen_fd_, POLLIN, 0},
                       {client_, POLLIN, 0}};
      const nfds_t count = client_ >= 0 ? 4 : 3;
      if (poll(fds, count, drip_.empty() ? -1 : kDripMs) < 0) {
        if (errno == EINTR) continue;
        std::fprintf(stderr, "msgserver: poll failed: %s\n", std::strerror(errno));
        return;
      }
      if (fds[0].revents != 0) return;
      if (fds[1].revents != 0) {
        char byte;
        while (read(g_mute_pipe[0], &byte, 1) == 1) responder_.ToggleMute();
        std::fprintf(stderr, "msgserver: answering %s\n", responder_.Hung() ? "off" : "on");
      }
      DripOneByte();
      if (count == 4 && fds[3].revents != 0) ReadClient();
      if (fds[2].revents != 0) AcceptClient();
    }
  }

 private:
  // One byte of a dripping reply per wake-up; the poll wakes every kDripMs while one is due.
  void DripOneByte() {
    if (drip_.empty() || client_ < 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (now < next_drip_) return;
    if (!SendAll(client_, {drip_.front()})) {
      drip_.clear();
      return;
    }
    drip_.erase(drip_.begin());
    next_drip_ = now + std::chrono::milliseconds(kDripMs);
  }

  void AcceptClient() {
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    if (client_ >= 0) CloseClient("a new connection replaces the old one");
    client_ = fd;
    input_.clear();
    replied_.reset();
    responder_.NewConnection();
    std::fprintf(stderr, "msgserver: client connected\n");
  }

  void CloseClient(const char* why) {
    if (client_ < 0) return;
    if (why != nullptr) std::fprintf(stderr, "msgserver: %s\n", why);
    close(client_);
    client_ = -1;
    input_.clear();
    drip_.clear();
  }

  void ReadClient() {
    uint8_t piece[65536];
    const ssize_t n = recv(client_, piece, sizeof piece, 0);
    const auto arrived = std::chrono::steady_clock::now();
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
      CloseClient("client closed the connection");
      return;
    }
    input_.insert(input_.end(), piece, piece + n);
    HandleFrames(arrived);
  }

  // The client's share of a request-reply turn: from our reply written to its next frame read.
  // A frame read before that reply went out was sent without waiting for it: no turn.
  void PrintTurn(std::chrono::steady_clock::time_point arrived) {
    if (!timing_ || !replied_ || arrived < *replied_) return;
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(arrived - *replied_).count();
    PrintLine("turn us=" + std::to_string(us));
  }

  void HandleFrames(std::chrono::steady_clock::time_point arrived) {
    std::size_t used = 0;
    while (client_ >= 0 && input_.size() - used >= kTransportHeaderSize) {
      const std::span<const uint8_t, kTransportHeaderSize> header(input_.data() + used, kTransportHeaderSize);
      const std::optional<int32_t> length = TransportMessageLength(header);
      if (!length) {
        char why[96];
        std::snprintf(why, sizeof why, "bad transport mark 0x%02X from the client; closing the connection", header[0]);
        CloseClient(why);
        return;
      }
      if (*length < 0 || *length > kMaxClientMessage) {
        char why[96];
        std::snprintf(why, sizeof why, "client announced %d message bytes; closing the connection", *length);
        CloseClient(why);
        return;
      }
      const std::size_t frame_size = kTransportHeaderSize + static_cast<std::size_t>(*length);
      if (input_.size() - used < frame_size) break;

      const std::span<const uint8_t> message(input_.data() + used + kTransportHeaderSize,
                                             static_cast<std::size_t>(*length));
      const std::optional<ParsedMessage> parsed = ValidateMessage(message);
      PrintTurn(arrived);
      replied_.reset();
      PrintLine(parsed ? DescribeMessage(*parsed) : DescribeInvalid(message));
      used += frame_size;

      const Answer answer = responder_.OnFrame(parsed);
      // A reply that will not reach the client whole counts as none.
      if (answer.bytes.empty() || answer.drip) PrintLine("unanswered");
      if (answer.crash) {
        std::fflush(stdout);
        _exit(3);
      }
      if (answer.drip) {
        drip_ = answer.bytes;
        next_drip_ = std::chrono::steady_clock::now();
      } else if (!answer.bytes.empty() && !SendAll(client_, answer.bytes)) {
        CloseClient("cannot write to the client; closing the connection");
      } else if (answer.close) {
        CloseClient("closing the connection as asked");
      } else if (!answer.bytes.empty()) {
        replied_ = std::chrono::steady_clock::now();
      }
      if (answer.exit) {
        stop_ = true;
        break;
      }
    }
    if (client_ >= 0) input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(used));
  }

  static constexpr int kDripMs = 500;

  Responder responder_;
  bool timing_;
  std::optional<std::chrono::steady_clock::time_point> replied_;  // last reply written whole
  std::vector<uint8_t> drip_;
  std::chrono::steady_clock::time_point next_drip_;
  int listen_fd_;
  int client_ = -1;
  std::vector<uint8_t> input_;
  bool stop_ = false;
};

}  // namespace
}  // namespace drv::msgserver

int main(int argc, char** argv) {
  using namespace drv::msgserver;
  std::string error;
  const std::optional<ServerOptions> options = ParseOptions(argc, argv, error);
  if (!options) {
    std::fprintf(stderr, "msgserver: %s\n%s", error.c_str(), kUsage);
    return 2;
  }
  if (options->help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (!InstallSignals()) return 1;
  const int listen_fd = Listen(*options);
  if (listen_fd < 0) return 1;
  PrintLine("listening on " + std::to_string(LocalPort(listen_fd)));
  {
    Server server(*options, listen_fd);
    server.Run();
  }
  close(listen_fd);
  return 0;
}

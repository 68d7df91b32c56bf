#include "platform/posix_tcp_connection.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace drv {
namespace {

using SteadyClock = std::chrono::steady_clock;

struct AddrInfoFree {
  void operator()(addrinfo* list) const {
    if (list != nullptr) freeaddrinfo(list);
  }
};
using AddrList = std::unique_ptr<addrinfo, AddrInfoFree>;

int RemainingMs(SteadyClock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
  if (left <= 0) return 0;
  return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
}

enum class Wait { kReady, kTimeout, kError };

// Waits for `events` on fd until the deadline. Error and hang-up conditions count as ready:
// the next send or recv reports them properly.
Wait WaitFor(int fd, short events, SteadyClock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int rc = poll(&p, 1, RemainingMs(deadline));
    if (rc > 0) return Wait::kReady;
    if (rc == 0) return Wait::kTimeout;
    if (errno != EINTR) return Wait::kError;
    if (SteadyClock::now() >= deadline) return Wait::kTimeout;
  }
}

// The system resolver can hang for many seconds on a bad name server, longer than the link's
// connect budget. A name is therefore resolved on a helper thread that is abandoned (and
// cleans up after itself) when the budget runs out first. Numeric addresses never wait.
AddrList Resolve(const std::string& host, const std::string& service, int timeout_ms) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | AI_NUMERICHOST;
  addrinfo* found = nullptr;
  const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (rc == 0) return AddrList(found);
  if (rc != EAI_NONAME) return {};

  struct Pending {
    std::mutex mutex;
    std::condition_variable done_cv;
    bool done = false;
    AddrList result;
  };
  auto pending = std::make_shared<Pending>();
  hints.ai_flags = AI_NUMERICSERV;
  try {
    std::thread([pending, host, service, hints] {
      addrinfo* list = nullptr;
      const int status = getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
      std::lock_guard lock(pending->mutex);
      if (status == 0) pending->result.reset(list);
      pending->done = true;
      pending->done_cv.notify_one();
    }).detach();
  } catch (const std::system_error&) {
    return {};
  }
  std::unique_lock lock(pending->mutex);
  if (!pending->done_cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return pending->done; })) {
    return {};
  }
  return std::move(pending->result);
}

bool ConnectOne(int fd, const addrinfo& address, SteadyClock::time_point deadline) {
  if (connect(fd, address.ai_addr, address.ai_addrlen) == 0) return true;
  // On a non-blocking socket an interrupted connect goes on in the background, as EINPROGRESS.
  if (errno != EINPROGRESS && errno != EINTR) return false;
  if (WaitFor(fd, POLLOUT, deadline) != Wait::kReady) return false;
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return false;
  return error == 0;
}

}  // namespace

PosixTcpConnection::PosixTcpConnection(int write_timeout_ms) : write_timeout_ms_(write_timeout_ms) {}

PosixTcpConnection::~PosixTcpConnection() { Disconnect(); }

bool PosixTcpConnection::Connect(const std::string& host, int32_t port, int timeout_ms) {
  Disconnect();
  if (host.empty() || port < 1 || port > 65535) return false;
  if (timeout_ms < 0) timeout_ms = 0;
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);

  const AddrList addresses = Resolve(host, std::to_string(port), timeout_ms);
  for (const addrinfo* a = addresses.get(); a != nullptr; a = a->ai_next) {
    const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    if (ConnectOne(fd, *a, deadline)) {
      // Frames are single small writes followed by a wait for the reply: no coalescing delay.
      const int on = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      fd_ = fd;
      return true;
    }
    close(fd);
    if (SteadyClock::now() >= deadline) break;
  }
  return false;
}

bool PosixTcpConnection::WriteAll(std::span<const uint8_t> data) {
  if (fd_ < 0) return false;
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(write_timeout_ms_);
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && WaitFor(fd_, POLLOUT, deadline) == Wait::kReady) {
      continue;
    }
    // A peer that takes nothing for the whole write time-out is as good as gone.
    Disconnect();
    return false;
  }
  return true;
}

TcpConnection::ReadResult PosixTcpConnection::ReadExactly(uint8_t* buffer, std::size_t size, int timeout_ms,
                                                          int total_timeout_ms) {
  ReadResult result;
  if (fd_ < 0) return result;
  // A peer that drips a byte now and then never lets the idle time-out strike: the whole
  // read has a limit of its own.
  const auto total_deadline = total_timeout_ms < 0 ? SteadyClock::time_point::max()
                                                   : SteadyClock::now() + std::chrono::milliseconds(total_timeout_ms);
  while (result.bytes < size) {
    const ssize_t n = recv(fd_, buffer + result.bytes, size - result.bytes, 0);
    if (n > 0) {
      result.bytes += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // The time-out counts from the last byte that arrived, not from the start of the read.
      const auto deadline =
          std::min(SteadyClock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms), total_deadline);
      const Wait wait = WaitFor(fd_, POLLIN, deadline);
      if (wait == Wait::kReady) continue;
      if (wait == Wait::kTimeout) {
        result.status = ReadStatus::kTimeout;
        return result;
      }
    }
    Disconnect();
    result.status = ReadStatus::kClosed;
    return result;
  }
  result.status = ReadStatus::kOk;
  return result;
}

void PosixTcpConnection::Disconnect() {
  if (fd_ < 0) return;
  close(fd_);
  fd_ = -1;
}

}  // namespace drv

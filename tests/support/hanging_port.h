#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

namespace drv::test {

// A loopback port whose listen queue is full: a connect to it hangs until its time-out, as
// to a host that drops packets.
class HangingPort {
 public:
  explicit HangingPort(int port) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    ok_ = ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(listener_, 0) == 0;
    // Never accepted: once these fill the queue, further handshakes go unanswered.
    for (int i = 0; i < 4 && ok_; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
      fillers_.push_back(fd);
    }
    ::poll(nullptr, 0, 200);
  }
  ~HangingPort() {
    for (const int fd : fillers_) ::close(fd);
    if (listener_ >= 0) ::close(listener_);
  }
  bool ok() const { return ok_; }

 private:
  int listener_ = -1;
  bool ok_ = false;
  std::vector<int> fillers_;
};

}  // namespace drv::test

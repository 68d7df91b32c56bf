#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "serverlink/tcp_connection.h"

namespace drv {

// The link's TCP client over plain POSIX sockets. The socket stays non-blocking and every
// wait goes through poll(), so no call blocks longer than its time-out; a dead peer never
// raises SIGPIPE. Used from one thread at a time; safe to destroy in any state.
class PosixTcpConnection final : public TcpConnection {
 public:
  static constexpr int kDefaultWriteTimeoutMs = 2000;

  explicit PosixTcpConnection(int write_timeout_ms = kDefaultWriteTimeoutMs);
  ~PosixTcpConnection() override;
  PosixTcpConnection(const PosixTcpConnection&) = delete;
  PosixTcpConnection& operator=(const PosixTcpConnection&) = delete;

  // Host names are resolved within the same time budget as the connect itself.
  bool Connect(const std::string& host, int32_t port, int timeout_ms) override;
  // A write that cannot finish within the write time-out counts as a broken connection.
  bool WriteAll(std::span<const uint8_t> data) override;
  ReadResult ReadExactly(uint8_t* buffer, std::size_t size, int timeout_ms, int total_timeout_ms = -1) override;
  bool Connected() const override { return fd_ >= 0; }
  void Disconnect() override;

 private:
  int fd_ = -1;
  int write_timeout_ms_;
};

}  // namespace drv

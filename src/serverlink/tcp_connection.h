#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace drv {

// One blocking TCP client connection, used only on the link thread.
class TcpConnection {
 public:
  enum class ReadStatus { kOk, kTimeout, kClosed };
  struct ReadResult {
    ReadStatus status = ReadStatus::kClosed;
    std::size_t bytes = 0;  // bytes stored, also when the read ended early
  };

  virtual ~TcpConnection() = default;
  // Opens a connection within timeout_ms. False on any failure: refused, unresolvable host,
  // port outside 1..65535, time-out. Closes a connection that is still open first.
  virtual bool Connect(const std::string& host, int32_t port, int timeout_ms) = 0;
  // Writes the whole buffer; false on a network failure (the connection is then closed).
  virtual bool WriteAll(std::span<const uint8_t> data) = 0;
  // Reads until `size` bytes have arrived. Ends with kTimeout when no byte arrives for
  // timeout_ms, or when the whole read has taken total_timeout_ms (negative: no such limit),
  // and kClosed when the peer closed or the connection broke.
  virtual ReadResult ReadExactly(uint8_t* buffer, std::size_t size, int timeout_ms, int total_timeout_ms = -1) = 0;
  virtual bool Connected() const = 0;
  virtual void Disconnect() = 0;
};

}  // namespace drv

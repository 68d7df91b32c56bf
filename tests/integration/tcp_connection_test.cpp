#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <ostream>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/posix_tcp_connection.h"

namespace drv {
namespace {

using Status = TcpConnection::ReadStatus;

constexpr int kConnectMs = 2500;
constexpr int kShortReadMs = 100;

// A loopback listener that accepts one peer at a time and hands out its socket.
class Listener {
 public:
  explicit Listener(int family = AF_INET) {
    fd_ = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    sockaddr_storage address{};
    socklen_t length = 0;
    if (family == AF_INET6) {
      auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
      in6->sin6_family = AF_INET6;
      in6->sin6_addr = in6addr_loopback;
      length = sizeof *in6;
    } else {
      auto* in4 = reinterpret_cast<sockaddr_in*>(&address);
      in4->sin_family = AF_INET;
      in4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      length = sizeof *in4;
    }
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd_, 4) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      Close();
      return;
    }
    port_ = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                     : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  }
  ~Listener() {
    ClosePeer();
    Close();
  }

  bool ok() const { return fd_ >= 0; }
  int port() const { return port_; }
  int peer() const { return peer_; }

  bool Accept() {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) return false;
    ClosePeer();
    peer_ = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    return peer_ >= 0;
  }
  void SendToPeer(const std::vector<uint8_t>& bytes) const {
    ASSERT_EQ(send(peer_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
  }
  // Reads what the client wrote, waiting at most a few seconds for each piece.
  std::vector<uint8_t> ReceiveFromPeer(std::size_t size) const {
    std::vector<uint8_t> bytes;
    std::array<uint8_t, 4096> piece{};
    while (bytes.size() < size) {
      pollfd p{peer_, POLLIN, 0};
      if (poll(&p, 1, 5000) != 1) break;
      const ssize_t n = recv(peer_, piece.data(), std::min(piece.size(), size - bytes.size()), 0);
      if (n <= 0) break;
      bytes.insert(bytes.end(), piece.begin(), piece.begin() + n);
    }
    return bytes;
  }
  // True when the client's side of the connection has been closed.
  bool PeerSeesEof() const {
    pollfd p{peer_, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) return false;
    uint8_t byte = 0;
    return recv(peer_, &byte, 1, 0) == 0;
  }
  // With `reset`, the close sends an RST instead of a FIN.
  void ClosePeer(bool reset = false) {
    if (peer_ < 0) return;
    if (reset) {
      linger hard{1, 0};
      setsockopt(peer_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    close(peer_);
    peer_ = -1;
  }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  int peer_ = -1;
  int port_ = 0;
};

class TcpConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(listener_.ok()); }
  void ConnectAndAccept() {
    ASSERT_TRUE(client_.Connect("127.0.0.1", listener_.port(), kConnectMs));
    ASSERT_TRUE(listener_.Accept());
  }

  Listener listener_;
  PosixTcpConnection client_;
};

struct ConnectCase {
  const char* name;
  const char* host;
  int family;
};
void PrintTo(const ConnectCase& c, std::ostream* os) { *os << c.name; }

class TcpConnectOkTest : public ::testing::TestWithParam<ConnectCase> {};

TEST_P(TcpConnectOkTest, ConnectsAndCarriesBytesBothWays) {
  const ConnectCase& c = GetParam();
  Listener listener(c.family);
  if (!listener.ok() && c.family == AF_INET6) GTEST_SKIP() << "no IPv6 loopback here";
  ASSERT_TRUE(listener.ok());
  PosixTcpConnection client;
  ASSERT_TRUE(client.Connect(c.host, listener.port(), kConnectMs));
  EXPECT_TRUE(client.Connected());
  ASSERT_TRUE(listener.Accept());

  const std::vector<uint8_t> out{0xFF, 0x00, 0x12, 0xFE};
  ASSERT_TRUE(client.WriteAll(out));
  EXPECT_EQ(listener.ReceiveFromPeer(out.size()), out);

  listener.SendToPeer({1, 2, 3});
  std::array<uint8_t, 3> in{};
  const auto read = client.ReadExactly(in.data(), in.size(), 2000);
  EXPECT_EQ(read.status, Status::kOk);
  EXPECT_EQ(read.bytes, 3u);
  EXPECT_EQ(in, (std::array<uint8_t, 3>{1, 2, 3}));
}

INSTANTIATE_TEST_SUITE_P(Hosts, TcpConnectOkTest,
                         ::testing::Values(ConnectCase{"Ipv4Numeric", "127.0.0.1", AF_INET},
                                           ConnectCase{"Ipv6Numeric", "::1", AF_INET6},
                                           ConnectCase{"Name", "localhost", AF_INET}),
                         [](const auto& info) { return std::string(info.param.name); });

struct FailCase {
  const char* name;
  const char* host;
  int port;  // -2: a loopback port where nothing listens
};
void PrintTo(const FailCase& c, std::ostream* os) { *os << c.name; }

class TcpConnectFailTest : public ::testing::TestWithParam<FailCase> {};

TEST_P(TcpConnectFailTest, FailsAndStaysUnconnected) {
  const FailCase& c = GetParam();
  int port = c.port;
  if (port == -2) {
    Listener closed;
    ASSERT_TRUE(closed.ok());
    port = closed.port();
  }  // the listener is gone here, so its port refuses
  PosixTcpConnection client;
  EXPECT_FALSE(client.Connect(c.host, port, 1000));
  EXPECT_FALSE(client.Connected());
}

INSTANTIATE_TEST_SUITE_P(Cases, TcpConnectFailTest,
                         ::testing::Values(FailCase{"RefusedPort", "127.0.0.1", -2},
                                           FailCase{"PortZero", "127.0.0.1", 0},
                                           FailCase{"PortAboveRange", "127.0.0.1", 70000},
                                           FailCase{"NegativePort", "127.0.0.1", -1},
                                           FailCase{"UnresolvableName", "no-such-host.invalid", 12543},
                                           FailCase{"MalformedAddress", "300.1.2.3.4", 12543},
                                           FailCase{"EmptyHost", "", 12543}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(TcpConnectionTest, ReadTimesOutWithoutClosing) {
  ConnectAndAccept();
  std::array<uint8_t, 4> in{};
  const auto read = client_.ReadExactly(in.data(), in.size(), kShortReadMs);
  EXPECT_EQ(read.status, Status::kTimeout);
  EXPECT_EQ(read.bytes, 0u);
  EXPECT_TRUE(client_.Connected());
}

TEST_F(TcpConnectionTest, PartialReadReportsStoredBytesAndCanBeContinued) {
  ConnectAndAccept();
  listener_.SendToPeer({10, 11, 12});
  std::array<uint8_t, 5> in{};
  auto read = client_.ReadExactly(in.data(), in.size(), kShortReadMs);
  EXPECT_EQ(read.status, Status::kTimeout);
  ASSERT_EQ(read.bytes, 3u);

  listener_.SendToPeer({13, 14});
  read = client_.ReadExactly(in.data() + 3, 2, 2000);
  EXPECT_EQ(read.status, Status::kOk);
  EXPECT_EQ(in, (std::array<uint8_t, 5>{10, 11, 12, 13, 14}));
}

TEST_F(TcpConnectionTest, ReadAfterPeerCloseReportsClosedWithStoredBytes) {
  ConnectAndAccept();
  listener_.SendToPeer({7, 8});
  listener_.ClosePeer();
  std::array<uint8_t, 5> in{};
  const auto read = client_.ReadExactly(in.data(), in.size(), 2000);
  EXPECT_EQ(read.status, Status::kClosed);
  EXPECT_EQ(read.bytes, 2u);
  EXPECT_EQ(in[0], 7);
  EXPECT_EQ(in[1], 8);
  EXPECT_FALSE(client_.Connected());
}

TEST_F(TcpConnectionTest, WriteAfterPeerCloseFailsWithoutSigpipe) {
  ConnectAndAccept();
  listener_.ClosePeer(/*reset=*/true);
  const std::vector<uint8_t> frame(39, 0xAA);
  bool failed = false;
  // The first writes may still be taken by the local stack; the reset shows soon after.
  for (int i = 0; i < 1000 && !failed; ++i) failed = !client_.WriteAll(frame);
  EXPECT_TRUE(failed);
  EXPECT_FALSE(client_.Connected());
}

TEST_F(TcpConnectionTest, WriteToPeerThatNeverReadsGivesUpAndCloses) {
  PosixTcpConnection client(/*write_timeout_ms=*/200);
  ASSERT_TRUE(client.Connect("127.0.0.1", listener_.port(), kConnectMs));
  ASSERT_TRUE(listener_.Accept());
  // Far more than both socket buffers can hold.
  const std::vector<uint8_t> big(32u << 20, 0x55);
  EXPECT_FALSE(client.WriteAll(big));
  EXPECT_FALSE(client.Connected());
}

TEST_F(TcpConnectionTest, ConnectAgainClosesThePreviousConnection) {
  ConnectAndAccept();
  Listener second;
  ASSERT_TRUE(second.ok());
  ASSERT_TRUE(client_.Connect("127.0.0.1", second.port(), kConnectMs));
  EXPECT_TRUE(listener_.PeerSeesEof());
}

TEST_F(TcpConnectionTest, DisconnectClosesAndLaterCallsFailQuietly) {
  ConnectAndAccept();
  client_.Disconnect();
  EXPECT_FALSE(client_.Connected());
  EXPECT_TRUE(listener_.PeerSeesEof());

  client_.Disconnect();  // a second time is harmless
  const std::vector<uint8_t> frame(4, 1);
  EXPECT_FALSE(client_.WriteAll(frame));
  std::array<uint8_t, 4> in{};
  const auto read = client_.ReadExactly(in.data(), in.size(), kShortReadMs);
  EXPECT_EQ(read.status, Status::kClosed);
  EXPECT_EQ(read.bytes, 0u);
}

}  // namespace
}  // namespace drv

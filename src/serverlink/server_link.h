#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/settings.h"
#include "base/version.h"
#include "serverlink/link_observer.h"
#include "serverlink/send_queue.h"
#include "serverlink/server_link_port.h"
#include "serverlink/tcp_connection.h"
#include "serverlink/spool_ack_sink.h"

namespace drv {

struct ServerLinkConfig {
  const Clock& clock;
  // A fresh, unconnected client for every attempt.
  std::function<std::unique_ptr<TcpConnection>()> make_connection;
  // [ServerHost], read again before every attempt so an edit takes effect at the next one.
  std::function<ServerHostSettings()> read_server_host;
  std::string com_port;
  int32_t first_number = 31;
  std::function<bool()> port_open;
  LinkObserver& observer;
  SpoolAckSink& spool;
  std::string version_text = kFileVersion;
};

// The link thread: keeps one TCP connection to the message server, greets it, sends the
// queued messages one per step with one reply read each, keeps an idle connection alive,
// obeys the server's commands and reconnects. Step() is one step of that machine and is
// what tests drive; Start() runs it on its own thread.
class ServerLink final : public ServerLinkPort {
 public:
  static constexpr int kConnectTimeoutMs = 2500;
  static constexpr int kReplyReadTimeoutMs = 1000;
  static constexpr uint64_t kReconnectIntervalMs = 5000;
  static constexpr uint64_t kKeepAliveIntervalMs = 500;
  static constexpr int32_t kErrorLimit = 20;
  // A body piece that times out is asked for again, but a reply that stalls for this many
  // more read time-outs is given up, so a step never hangs on a dead server.
  static constexpr int kMaxBodyRetries = 3;
  static constexpr uint64_t kNoDeadline = UINT64_MAX;
  // Longest idle sleep before the loop looks again, whatever the deadline says.
  static constexpr uint64_t kMaxIdleWaitMs = 250;

  explicit ServerLink(ServerLinkConfig config);
  ~ServerLink() override;
  ServerLink(const ServerLink&) = delete;
  ServerLink& operator=(const ServerLink&) = delete;

  // ServerLinkPort
  bool ServerConnected() const override { return server_connected_.load(); }
  bool EnqueueMessage(uint32_t type, std::span<const uint8_t> payload) override;

  // Exactly one step: connected step, connection attempt, or the denied state.
  void Step();

  // Thread control. RequestStop forbids reconnecting and ends the loop after its step; the
  // loop then closes the connection. WaitStopped is true once the loop has ended: the host
  // calls it repeatedly while it keeps serving the observer's hand-overs. The destructor
  // stops and joins; by then the observer must no longer block.
  void Start();
  void RequestStop();
  bool WaitStopped(int timeout_ms);

  // State for the window and for tests.
  // The messages still queued, oldest first, taken out of the queue. Only once the loop has
  // ended: what was never written can then be kept elsewhere instead of being lost.
  std::vector<std::vector<uint8_t>> TakeUndelivered();

  int32_t ErrorCount() const { return error_count_; }
  bool Accepted() const { return accepted_; }
  bool ReconnectAllowed() const { return reconnect_allowed_.load(); }
  const TSendQueue& Queue() const { return queue_; }

 private:
  void Execute();
  // True when the next step can have no effect, so the loop may sleep until an enqueue, a
  // stop request or wake_at_ms (monotonic; kNoDeadline when only those events matter).
  bool CanSkipStep(uint64_t& wake_at_ms) const;

  void ConnectedStep();
  void ConnectionAttempt();
  void SendGreeting();
  void ClientDisconnected();
  void DropConnection();
  // Writes one message in its transport frame; false after a failed write.
  bool SendFrame(std::span<const uint8_t> message);
  // Fills reply_buffer_ with one received message or leaves it empty; false for a failure
  // beyond a missing reply (an impossible length, a body that broke off).
  bool ReceiveFrame();
  void HandleReply(uint32_t type);

  void Log(const std::string& text);
  void TickIndicator();
  bool DueSince(std::optional<uint64_t> since, uint64_t interval) const;
  void Wake();
  void CloseClientAtEnd();

  ServerLinkConfig config_;
  TSendQueue queue_;

  std::atomic<bool> stop_requested_{false};
  std::atomic<bool> reconnect_allowed_{true};
  std::atomic<bool> server_connected_{false};

  // Link-thread state.
  std::unique_ptr<TcpConnection> client_;
  std::vector<uint8_t> reply_payload_;
  std::vector<uint8_t> reply_buffer_;
  bool accepted_ = false;
  bool keep_alive_due_ = false;
  bool greeting_queued_ = false;
  bool frame_sent_ = false;
  bool drop_after_send_ = false;
  bool reply_stream_closed_ = false;  // the last reply read found the connection closed
  bool denied_logged_ = false;
  int32_t error_count_ = 0;
  // Monotonic milliseconds; no attempt yet means the first step attempts at once.
  uint64_t last_keep_alive_ms_ = 0;
  std::optional<uint64_t> last_connect_ms_;

  // Thread.
  std::thread thread_;
  std::mutex wake_mutex_;
  std::condition_variable wake_cv_;
  uint64_t wake_generation_ = 0;
  std::mutex stopped_mutex_;
  std::condition_variable stopped_cv_;
  bool stopped_ = false;
  bool started_ = false;
};

// The name the rest of the program knows the link thread by.
using cl = ServerLink;

}  // namespace drv

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
#include "base/reporting.h"
#include "base/settings.h"
#include "base/version.h"
#include "serverlink/link_observer.h"
#include "serverlink/link_spool.h"
#include "serverlink/send_queue.h"
#include "serverlink/server_link_port.h"
#include "serverlink/tcp_connection.h"

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
  LinkSpool& spool;
  std::string version_text = kFileVersion;
  // Faults of the link thread that no step handles; null: they are dropped.
  Reporter* reporter = nullptr;
};

// The link thread: keeps one TCP connection to the message server, greets it, sends the
// queued messages one per step with one reply read each, keeps an idle connection alive,
// obeys the server's commands and reconnects. Step() is one step of that machine and is
// what tests drive; Start() runs it on its own thread.
//
// Delivery is at least once: a queued message leaves the queue only when a valid reply to
// it has been read. When a connection ends for any reason, the records it had not delivered
// and every record still queued go to the spool before anything else happens.
class ServerLink final : public ServerLinkPort {
 public:
  static constexpr int kConnectTimeoutMs = 2500;
  static constexpr int kReplyReadTimeoutMs = 1000;
  // One reply, header and body, must be complete within this, however it trickles in.
  static constexpr uint64_t kReplyDeadlineMs = 5000;
  static constexpr uint64_t kReconnectIntervalMs = 5000;
  static constexpr uint64_t kKeepAliveIntervalMs = 500;
  static constexpr int32_t kErrorLimit = 20;
  // A body piece that times out is asked for again, a few times within the reply deadline.
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
  bool ConnectionEstablished() const override { return established_.load(); }
  bool EnqueueMessage(uint32_t type, std::span<const uint8_t> payload) override;
  bool EnqueueReplayed(uint32_t type, std::span<const uint8_t> payload, const std::string& path) override;

  // Exactly one step: connected step, connection attempt, or the waiting or denied state.
  // True when it wrote or read something, so the next step may follow at once.
  bool Step();

  // Thread control. RequestStop forbids reconnecting and ends the loop after its step; the
  // loop then spools what is undelivered and closes the connection. WaitStopped is true once
  // the loop has ended. The destructor stops and joins.
  void Start();
  void RequestStop();
  bool WaitStopped(int timeout_ms);
  // Spools the records that wait in the queue behind the one in flight, from any thread:
  // at a stop they must not depend on how long the link thread still takes.
  void SpoolWaiting();

  // State for the window, the supervision and tests.
  int32_t ErrorCount() const { return error_count_; }
  bool Accepted() const { return accepted_; }
  bool ReconnectAllowed() const { return reconnect_allowed_.load(); }
  const TSendQueue& Queue() const { return queue_; }
  // Events the server has answered: live ones by any reply, replayed ones by their
  // acknowledgement.
  uint64_t EventsDelivered() const { return events_delivered_.load(); }
  uint64_t ConnectionAttempts() const { return connection_attempts_.load(); }
  // Monotonic time the thread's loop last went round; a connect or a reply read is bounded,
  // so a stamp far in the past means the thread is stuck.
  uint64_t LastProgressMs() const { return last_progress_ms_.load(); }

 private:
  enum class ReadOutcome {
    kReply,       // a whole frame; the buffer holds its message (empty for length 0)
    kNoReply,     // nothing arrived in time; the stream is still in step
    kOutOfStep,   // part of a frame, a wrong mark or an impossible length: the stream is lost
    kClosed,      // the connection closed or broke
  };

  void Execute();
  // True when the next step can have no effect, so the loop may sleep until an enqueue, a
  // stop request or wake_at_ms (monotonic; kNoDeadline when only those events matter).
  bool CanSkipStep(uint64_t& wake_at_ms) const;

  bool ConnectedStep();
  void ConnectionAttempt();
  void SendGreeting();
  void ClientDisconnected();
  void DropConnection();
  // The connection is over for this link: nothing more is sent on it, and what it had not
  // delivered is spooled. `close` also closes the socket (mtDisconnect leaves that to the
  // next attempt).
  void EndConnection(bool close);
  // Takes every queued message out: records to the spool, the rest dropped.
  void SpoolQueued();
  void SpoolRecords(const std::vector<QueuedMessage>& messages);
  void MessageAnswered(const QueuedMessage& message, uint32_t reply_type);
  // A reply failed or left the stream out of step: the connection is over, said in its line.
  bool ReplyFailed();
  // Writes one message in its transport frame; false after a failed write.
  bool SendFrame(std::span<const uint8_t> message);
  ReadOutcome ReceiveFrame();
  void HandleReply(uint32_t type);

  void Log(const std::string& text);
  void TickIndicator();
  bool DueSince(std::optional<uint64_t> since, uint64_t interval) const;
  void Wake();
  void CloseClientAtEnd();
  void Report(const std::string& what);

  ServerLinkConfig config_;
  TSendQueue queue_;

  std::atomic<bool> stop_requested_{false};
  std::atomic<bool> reconnect_allowed_{true};
  std::atomic<bool> server_connected_{false};
  std::atomic<bool> established_{false};
  std::atomic<uint64_t> events_delivered_{0};
  std::atomic<uint64_t> connection_attempts_{0};
  std::atomic<uint64_t> last_progress_ms_{0};

  // Link-thread state.
  std::unique_ptr<TcpConnection> client_;
  std::vector<uint8_t> reply_payload_;
  std::vector<uint8_t> reply_buffer_;
  // The spool file whose message is on the wire; empty while none is.
  std::string in_flight_file_;
  bool accepted_ = false;
  bool keep_alive_due_ = false;
  bool greeting_queued_ = false;
  // A keep-alive's reply did not come: a late one would be taken for the next message's.
  bool reply_owed_ = false;
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

#include "serverlink/server_link.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <new>
#include <utility>

#include "base/date_time.h"
#include "wire/frames.h"
#include "wire/greeting.h"
#include "wire/message_types.h"

namespace drv {

namespace {
constexpr const char kLogConnecting[] = "Соединение...";
constexpr const char kLogConnected[] = "Соединение установлено.";
constexpr const char kLogTooManyErrors[] = "Ошибки по сети - переподсоединение.";
constexpr const char kLogServerDisconnect[] = "Сервер дал команду на рассоединение.";
constexpr const char kLogAccessDenied[] = "Доступ запрещен.";
}  // namespace

ServerLink::ServerLink(ServerLinkConfig config)
    : config_(std::move(config)), last_keep_alive_ms_(config_.clock.MonotonicMs()) {}

ServerLink::~ServerLink() {
  RequestStop();
  if (thread_.joinable()) thread_.join();
}

bool ServerLink::EnqueueMessage(uint32_t type, std::span<const uint8_t> payload) {
  const bool stored = queue_.EnqueueMessage(type, payload);
  Wake();
  return stored;
}

// ---------------------------------------------------------------------------------------
// Steps

void ServerLink::Step() {
  if (server_connected_) {
    ConnectedStep();
  } else if (reconnect_allowed_) {
    if (DueSince(last_connect_ms_, kReconnectIntervalMs)) ConnectionAttempt();
  } else if (!denied_logged_ && !stop_requested_) {
    // A stop also forbids reconnecting; only a real refusal is worth the line.
    denied_logged_ = true;
    Log(kLogAccessDenied);
  }
}

void ServerLink::ConnectedStep() {
  if (error_count_ > kErrorLimit) {
    // The rest of the step still runs; the next attempt closes the old connection.
    error_count_ = 0;
    Log(kLogTooManyErrors);
    server_connected_ = false;
  }

  frame_sent_ = false;
  bool reply = false;

  std::vector<uint8_t> message;
  reply_stream_closed_ = false;
  if (queue_.Peek(message)) {
    frame_sent_ = true;
    // A message whose write failed stays at the head and goes out first on the next
    // connection, so a broken connection loses nothing.
    drop_after_send_ = SendFrame(message);
  } else if (accepted_ && DueSince(last_keep_alive_ms_, kKeepAliveIntervalMs)) {
    keep_alive_due_ = true;
    last_keep_alive_ms_ = config_.clock.MonotonicMs();
  }

  if (keep_alive_due_ || greeting_queued_ || frame_sent_) {
    if (keep_alive_due_) {
      keep_alive_due_ = false;
      SendFrame(BuildMessage(mtKeepAlive, {}, 0));
    }
    reply = true;
    greeting_queued_ = false;
    if (!ReceiveFrame()) {
      reply = false;
      ++error_count_;
    }
  }

  // The head leaves the queue once written, unless the connection turned out to be closed
  // when its reply was read: a peer that died just before took the bytes into a dead
  // socket, so the message goes again after the next connection (a duplicate at worst).
  if (frame_sent_ && drop_after_send_ && !reply_stream_closed_) queue_.Drop();

  // Runs in idle steps too: the buffer keeps the last read, so one missing reply is counted
  // again in every step until something valid arrives.
  if (reply_buffer_.empty()) {
    reply = false;
    ++error_count_;
  }

  if (!reply) return;
  const std::optional<ParsedMessage> parsed = ValidateMessage(reply_buffer_);
  if (!parsed) return;  // neither counts nor resets

  error_count_ = 0;
  TickIndicator();
  try {
    reply_payload_ = parsed->payload;
  } catch (const std::bad_alloc&) {
    ++error_count_;
  }
  HandleReply(parsed->type);
}

void ServerLink::HandleReply(uint32_t type) {
  switch (type) {
    case mtAccepted:
      accepted_ = true;
      break;
    case mtStoredEventAck:
    case mtLinkStateAck:
      config_.spool.SpoolAcknowledged();
      break;
    case mtPoll:
      EnqueueMessage(mtPollAnswer, {});
      break;
    case mtAccessDenied:
      server_connected_ = false;
      reconnect_allowed_ = false;
      DropConnection();
      break;
    case mtDropLink:
      server_connected_ = false;
      DropConnection();
      break;
    case mtDisconnect:
      // The connection stays open; the next attempt, a full interval later, closes it.
      error_count_ = 0;
      last_connect_ms_ = config_.clock.MonotonicMs();
      server_connected_ = false;
      TickIndicator();
      Log(kLogServerDisconnect);
      break;
    default:
      break;
  }
}

void ServerLink::ConnectionAttempt() {
  TickIndicator();
  Log(kLogConnecting);
  last_connect_ms_ = config_.clock.MonotonicMs();
  // Up while the attempt runs: the hand-off queues instead of spooling, and what it queues
  // waits for a later connection if this one fails.
  server_connected_ = true;
  client_.reset();
  accepted_ = false;

  bool connected = false;
  try {
    client_ = config_.make_connection();
    const ServerHostSettings host = config_.read_server_host ? config_.read_server_host() : ServerHostSettings{};
    if (client_ && client_->Connect(host.Address, host.Port, kConnectTimeoutMs)) {
      SendGreeting();
      connected = true;
    }
  } catch (...) {
    connected = false;
  }
  server_connected_ = connected;
  if (!connected) return;

  config_.spool.ReleaseReplayWait();
  Log(kLogConnected);
  TickIndicator();
}

void ServerLink::SendGreeting() {
  EnqueueMessage(mtHello, kHelloPayload);
  const bool port_open = config_.port_open ? config_.port_open() : false;
  EnqueueMessage(mtPortState, PortStateRecord(config_.com_port, port_open));
  const std::array<uint8_t, 1> first_number{FirstNumberByte(config_.first_number)};
  EnqueueMessage(mtFirstNumber, first_number);
  greeting_queued_ = true;
  EnqueueMessage(mtVersion, VersionRecord(config_.version_text));
}

void ServerLink::ClientDisconnected() {
  server_connected_ = false;
  TickIndicator();
}

void ServerLink::DropConnection() {
  server_connected_ = false;
  TickIndicator();
  if (!client_) return;
  try {
    const bool was_open = client_->Connected();
    client_->Disconnect();
    if (was_open) ClientDisconnected();
  } catch (...) {
  }
}

bool ServerLink::SendFrame(std::span<const uint8_t> message) {
  bool written = false;
  try {
    written = client_ && client_->WriteAll(BuildFrame(message));
  } catch (...) {
    // Not a network failure: the connection stays as it is.
    ++error_count_;
    return false;
  }
  if (written) return true;

  // A network failure closes the connection at once; the next step is an attempt.
  if (client_) {
    try {
      client_->Disconnect();
    } catch (...) {
    }
  }
  ClientDisconnected();
  ++error_count_;
  return false;
}

bool ServerLink::ReceiveFrame() {
  reply_buffer_.clear();
  if (!client_) return true;
  try {
    std::array<uint8_t, kTransportHeaderSize> header{};
    TcpConnection::ReadResult result = client_->ReadExactly(header.data(), header.size(), kReplyReadTimeoutMs);
    if (result.status == TcpConnection::ReadStatus::kClosed) reply_stream_closed_ = true;
    if (result.status != TcpConnection::ReadStatus::kOk) return true;

    // A wrong mark leaves the body in the stream: it is read as the next header.
    const std::optional<int32_t> length = TransportMessageLength(header);
    if (!length) return true;
    if (*length < 0 || *length > kMaxMessageLength) return false;

    const auto size = static_cast<std::size_t>(*length);
    reply_buffer_.resize(size);
    std::size_t received = 0;
    int retries = 0;
    while (received < size) {
      const std::size_t piece = std::min(size - received, kBodyPieceSize);
      result = client_->ReadExactly(reply_buffer_.data() + received, piece, kReplyReadTimeoutMs);
      received += std::min(result.bytes, piece);
      if (result.status == TcpConnection::ReadStatus::kOk) continue;
      if (result.status == TcpConnection::ReadStatus::kTimeout && retries++ < kMaxBodyRetries) continue;
      if (result.status == TcpConnection::ReadStatus::kClosed) reply_stream_closed_ = true;
      reply_buffer_.clear();
      return false;
    }
    return true;
  } catch (...) {
    reply_buffer_.clear();
    return false;
  }
}

// ---------------------------------------------------------------------------------------
// Helpers

void ServerLink::Log(const std::string& text) {
  config_.observer.LogLine(FormatDateAndTime(config_.clock.Now()) + " " + text);
}

void ServerLink::TickIndicator() { config_.observer.TickServerIndicator(); }

bool ServerLink::DueSince(std::optional<uint64_t> since, uint64_t interval) const {
  if (!since) return true;
  return config_.clock.MonotonicMs() - *since > interval;
}

void ServerLink::Wake() {
  {
    std::lock_guard lock(wake_mutex_);
    ++wake_generation_;
  }
  wake_cv_.notify_all();
}

// ---------------------------------------------------------------------------------------
// Thread

bool ServerLink::CanSkipStep(uint64_t& wake_at_ms) const {
  wake_at_ms = kNoDeadline;
  if (!server_connected_) {
    if (reconnect_allowed_) {
      if (DueSince(last_connect_ms_, kReconnectIntervalMs)) return false;
      wake_at_ms = *last_connect_ms_ + kReconnectIntervalMs + 1;
      return true;
    }
    return denied_logged_ || stop_requested_;
  }
  // An empty reply buffer counts an error in every step: those steps keep their pace.
  if (error_count_ > kErrorLimit || keep_alive_due_ || greeting_queued_ || reply_buffer_.empty() ||
      !queue_.IsEmpty()) {
    return false;
  }
  if (accepted_) {
    if (DueSince(last_keep_alive_ms_, kKeepAliveIntervalMs)) return false;
    wake_at_ms = last_keep_alive_ms_ + kKeepAliveIntervalMs + 1;
  }
  return true;
}

void ServerLink::Start() {
  if (started_) return;
  started_ = true;
  thread_ = std::thread([this] { Execute(); });
}

void ServerLink::RequestStop() {
  reconnect_allowed_ = false;
  stop_requested_ = true;
  Wake();
}

bool ServerLink::WaitStopped(int timeout_ms) {
  if (!started_) return true;
  std::unique_lock lock(stopped_mutex_);
  stopped_cv_.wait_for(lock, std::chrono::milliseconds(std::max(timeout_ms, 0)), [this] { return stopped_; });
  return stopped_;
}

void ServerLink::Execute() {
  while (!stop_requested_) {
    uint64_t generation = 0;
    {
      std::lock_guard lock(wake_mutex_);
      generation = wake_generation_;
    }
    uint64_t wake_at_ms = kNoDeadline;
    if (CanSkipStep(wake_at_ms)) {
      // Nothing can happen before the deadline unless someone enqueues or asks to stop.
      const uint64_t now = config_.clock.MonotonicMs();
      uint64_t wait_ms = kMaxIdleWaitMs;
      if (wake_at_ms != kNoDeadline) wait_ms = wake_at_ms > now ? std::min(wake_at_ms - now, kMaxIdleWaitMs) : 0;
      std::unique_lock lock(wake_mutex_);
      wake_cv_.wait_for(lock, std::chrono::milliseconds(wait_ms),
                        [&] { return stop_requested_ || wake_generation_ != generation; });
      continue;
    }
    try {
      Step();
    } catch (...) {
      // An unexpected fault must not end the link; the next step goes on.
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  CloseClientAtEnd();
  {
    std::lock_guard lock(stopped_mutex_);
    stopped_ = true;
  }
  stopped_cv_.notify_all();
}

std::vector<std::vector<uint8_t>> ServerLink::TakeUndelivered() {
  std::vector<std::vector<uint8_t>> messages;
  if (started_ && !WaitStopped(0)) return messages;
  std::vector<uint8_t> message;
  while (queue_.Peek(message)) {
    messages.push_back(std::move(message));
    queue_.Drop();
  }
  return messages;
}

void ServerLink::CloseClientAtEnd() {
  if (!client_) return;
  try {
    if (client_->Connected()) {
      client_->Disconnect();
      ClientDisconnected();
    }
  } catch (...) {
  }
  client_.reset();
}

}  // namespace drv

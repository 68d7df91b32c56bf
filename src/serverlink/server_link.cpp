#include "serverlink/server_link.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <new>
#include <utility>

#include "base/date_time.h"
#include "base/guarded.h"
#include "wire/frames.h"
#include "wire/greeting.h"
#include "wire/message_types.h"

namespace drv {

namespace {
constexpr const char kLogConnecting[] = "Соединение...";
constexpr const char kLogConnected[] = "Соединение установлено.";
constexpr const char kLogNetworkErrors[] = "Ошибки по сети - переподсоединение.";
constexpr const char kLogServerDisconnect[] = "Сервер дал команду на рассоединение.";
constexpr const char kLogAccessDenied[] = "Доступ запрещен.";

bool EndsConnection(uint32_t type) { return type == mtAccessDenied || type == mtDropLink || type == mtDisconnect; }

std::span<const uint8_t> PayloadOf(const QueuedMessage& message) {
  if (message.bytes.size() <= kMessageHeaderSize) return {};
  return std::span<const uint8_t>(message.bytes).subspan(kMessageHeaderSize);
}
}  // namespace

ServerLink::ServerLink(ServerLinkConfig config)
    : config_(std::move(config)), last_keep_alive_ms_(config_.clock.MonotonicMs()) {
  last_progress_ms_ = config_.clock.MonotonicMs();
}

ServerLink::~ServerLink() {
  RequestStop();
  if (thread_.joinable()) thread_.join();
}

bool ServerLink::EnqueueMessage(uint32_t type, std::span<const uint8_t> payload) {
  const bool stored = queue_.EnqueueMessage(type, payload);
  Wake();
  return stored;
}

bool ServerLink::EnqueueReplayed(uint32_t type, std::span<const uint8_t> payload, const std::string& path) {
  const bool stored = queue_.EnqueueReplayed(type, payload, path);
  Wake();
  return stored;
}

// ---------------------------------------------------------------------------------------
// Steps

bool ServerLink::Step() {
  if (established_) return ConnectedStep();
  // No connection stands: nothing may wait in memory for one.
  if (!queue_.IsEmpty()) SpoolQueued();
  if (reconnect_allowed_) {
    if (!DueSince(last_connect_ms_, kReconnectIntervalMs)) return false;
    ConnectionAttempt();
    return true;
  }
  if (!denied_logged_ && !stop_requested_) {
    // A stop also forbids reconnecting; only a real refusal is worth the line.
    denied_logged_ = true;
    Log(kLogAccessDenied);
  }
  return false;
}

bool ServerLink::ConnectedStep() {
  if (error_count_ > kErrorLimit) {
    error_count_ = 0;
    Log(kLogNetworkErrors);
    EndConnection(true);
    return true;
  }

  bool frame_sent = false;
  bool reply = false;
  QueuedMessage message;
  if (!queue_.IsEmpty()) {
    // The late reply of a keep-alive would be taken for this message's: start clean.
    if (reply_owed_) return ReplyFailed();
    frame_sent = queue_.PeekForSend(message);
  }
  if (frame_sent) {
    in_flight_file_ = message.origin == MessageOrigin::kReplayed ? message.spool_path : std::string();
    if (!SendFrame(message.bytes)) {
      EndConnection(true);
      return true;
    }
  } else if (accepted_ && DueSince(last_keep_alive_ms_, kKeepAliveIntervalMs)) {
    keep_alive_due_ = true;
    last_keep_alive_ms_ = config_.clock.MonotonicMs();
  }

  bool did_io = frame_sent;
  if (keep_alive_due_ || greeting_queued_ || frame_sent) {
    if (keep_alive_due_) {
      keep_alive_due_ = false;
      did_io = true;
      if (!SendFrame(BuildMessage(mtKeepAlive, {}, 0))) {
        EndConnection(true);
        return true;
      }
    }
    reply = true;
    greeting_queued_ = false;
    const ReadOutcome outcome = ReceiveFrame();
    if (outcome != ReadOutcome::kReply) {
      reply = false;
      // A reply that merely did not come is counted below, as an empty buffer.
      if (outcome != ReadOutcome::kNoReply) ++error_count_;
    }
    if (outcome == ReadOutcome::kClosed) {
      ClientDisconnected();
      EndConnection(true);
      return true;
    }
    // A message is answered by the next reply or by none: a reply that failed to come, or a
    // frame that left the stream out of step, ends the connection, so the pairing of replies
    // with messages never drifts. An idle keep-alive keeps the plain error count.
    if (outcome == ReadOutcome::kOutOfStep || (frame_sent && outcome != ReadOutcome::kReply)) return ReplyFailed();
    if (outcome == ReadOutcome::kNoReply) reply_owed_ = true;
  }

  // Runs in idle steps too: the buffer keeps the last read, so one missing reply is counted
  // again in every step until something valid arrives.
  if (reply_buffer_.empty()) {
    reply = false;
    ++error_count_;
    if (frame_sent) return ReplyFailed();  // a reply of length 0 answers nothing
  }
  if (!reply) return did_io;

  const std::optional<ParsedMessage> parsed = ValidateMessage(reply_buffer_);
  if (!parsed) {
    // Neither counts nor resets; but a message it was meant to answer is not answered.
    if (frame_sent) return ReplyFailed();
    return true;
  }

  error_count_ = 0;
  reply_owed_ = false;
  TickIndicator();
  try {
    reply_payload_ = parsed->payload;
  } catch (const std::bad_alloc&) {
    ++error_count_;
  }
  if (frame_sent && !EndsConnection(parsed->type)) MessageAnswered(message, parsed->type);
  HandleReply(parsed->type);
  return true;
}

bool ServerLink::ReplyFailed() {
  Log(kLogNetworkErrors);
  EndConnection(true);
  return true;
}

void ServerLink::MessageAnswered(const QueuedMessage& message, uint32_t reply_type) {
  queue_.Drop();
  in_flight_file_.clear();
  switch (message.origin) {
    case MessageOrigin::kReplayed:
      // Only the reply read right after a file's message confirms that file.
      if (reply_type == mtStoredEventAck || reply_type == mtLinkStateAck) {
        if (message.type == mtStoredEvent) ++events_delivered_;
        config_.spool.SpoolAcknowledged(message.spool_path);
      } else {
        config_.spool.ReplayAnswered(message.spool_path);
      }
      break;
    case MessageOrigin::kRecord:
      if (message.type == mtEvent) ++events_delivered_;
      break;
    case MessageOrigin::kConnection:
      break;
  }
}

void ServerLink::HandleReply(uint32_t type) {
  switch (type) {
    case mtAccepted:
      accepted_ = true;
      break;
    case mtPoll:
      EnqueueMessage(mtPollAnswer, {});
      break;
    case mtAccessDenied:
      reconnect_allowed_ = false;
      DropConnection();
      break;
    case mtDropLink:
      DropConnection();
      break;
    case mtDisconnect:
      // The socket stays open; the next attempt, a full interval later, closes it.
      error_count_ = 0;
      last_connect_ms_ = config_.clock.MonotonicMs();
      server_connected_ = false;
      TickIndicator();
      Log(kLogServerDisconnect);
      EndConnection(false);
      break;
    default:
      break;
  }
}

void ServerLink::ConnectionAttempt() {
  TickIndicator();
  Log(kLogConnecting);
  last_connect_ms_ = config_.clock.MonotonicMs();
  ++connection_attempts_;
  // Up while the attempt runs, as the window and the replay know it; the hand-off waits
  // for an established connection and spools meanwhile.
  server_connected_ = true;
  client_.reset();
  accepted_ = false;
  reply_owed_ = false;
  in_flight_file_.clear();

  bool connected = false;
  try {
    client_ = config_.make_connection();
    const ServerHostSettings host = config_.read_server_host ? config_.read_server_host() : ServerHostSettings{};
    if (client_ && client_->Connect(host.Address, host.Port, kConnectTimeoutMs)) {
      SendGreeting();
      connected = true;
    }
  } catch (...) {
    Report("connect: " + CurrentExceptionText());
    connected = false;
  }
  established_ = connected;
  server_connected_ = connected;
  if (!connected) {
    // What was queued during the attempt had no connection to go on.
    SpoolQueued();
    return;
  }

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
  EndConnection(true);
}

void ServerLink::EndConnection(bool close) {
  const bool was_established = established_.exchange(false);
  server_connected_ = false;
  if (close && client_) {
    try {
      const bool was_open = client_->Connected();
      client_->Disconnect();
      if (was_open) ClientDisconnected();
    } catch (...) {
    }
  }
  // A file whose message was on the wire when the connection ended may be what the server
  // cannot take; the replay counts such endings.
  if (was_established && !in_flight_file_.empty()) config_.spool.ReplayInterrupted(in_flight_file_);
  in_flight_file_.clear();
  SpoolQueued();
}

void ServerLink::SpoolQueued() { SpoolRecords(queue_.TakeAll()); }

void ServerLink::SpoolWaiting() { SpoolRecords(queue_.TakeWaiting()); }

void ServerLink::SpoolRecords(const std::vector<QueuedMessage>& messages) {
  for (const QueuedMessage& message : messages) {
    // Replayed messages are still on disk; the rest belongs to the connection that ended.
    if (message.origin != MessageOrigin::kRecord) continue;
    try {
      config_.spool.SpoolUndelivered(message.type, PayloadOf(message));
    } catch (...) {
      Report("spooling an undelivered record: " + CurrentExceptionText());
    }
  }
}

bool ServerLink::SendFrame(std::span<const uint8_t> message) {
  bool written = false;
  try {
    written = client_ && client_->WriteAll(BuildFrame(message));
  } catch (...) {
    Report("write: " + CurrentExceptionText());
    written = false;
  }
  if (written) return true;
  ++error_count_;
  if (client_) {
    try {
      client_->Disconnect();
    } catch (...) {
    }
  }
  ClientDisconnected();
  return false;
}

ServerLink::ReadOutcome ServerLink::ReceiveFrame() {
  reply_buffer_.clear();
  if (!client_) return ReadOutcome::kClosed;
  const uint64_t start = config_.clock.MonotonicMs();
  const auto remaining_ms = [&]() -> int {
    const uint64_t elapsed = config_.clock.MonotonicMs() - start;
    return elapsed >= kReplyDeadlineMs ? 0 : static_cast<int>(kReplyDeadlineMs - elapsed);
  };
  const auto idle_ms = [](int remaining) { return std::min(remaining, kReplyReadTimeoutMs); };
  try {
    std::array<uint8_t, kTransportHeaderSize> header{};
    int remaining = remaining_ms();
    TcpConnection::ReadResult result = client_->ReadExactly(header.data(), header.size(), idle_ms(remaining), remaining);
    if (result.status == TcpConnection::ReadStatus::kClosed) return ReadOutcome::kClosed;
    if (result.status != TcpConnection::ReadStatus::kOk) {
      // Bytes of a header already taken from the stream cannot be put back.
      return result.bytes == 0 ? ReadOutcome::kNoReply : ReadOutcome::kOutOfStep;
    }

    // A wrong mark leaves the body in the stream, where it would be read as the next header.
    const std::optional<int32_t> length = TransportMessageLength(header);
    if (!length || *length < 0 || *length > kMaxMessageLength) return ReadOutcome::kOutOfStep;

    const auto size = static_cast<std::size_t>(*length);
    reply_buffer_.resize(size);
    std::size_t received = 0;
    int retries = 0;
    while (received < size) {
      remaining = remaining_ms();
      if (remaining <= 0) break;
      const std::size_t piece = std::min(size - received, kBodyPieceSize);
      result = client_->ReadExactly(reply_buffer_.data() + received, piece, idle_ms(remaining), remaining);
      received += std::min(result.bytes, piece);
      if (result.status == TcpConnection::ReadStatus::kOk) continue;
      if (result.status == TcpConnection::ReadStatus::kClosed) {
        reply_buffer_.clear();
        return ReadOutcome::kClosed;
      }
      if (retries++ >= kMaxBodyRetries) break;
    }
    if (received < size) {
      reply_buffer_.clear();
      return ReadOutcome::kOutOfStep;
    }
    return ReadOutcome::kReply;
  } catch (...) {
    reply_buffer_.clear();
    Report("reply read: " + CurrentExceptionText());
    return ReadOutcome::kOutOfStep;
  }
}

// ---------------------------------------------------------------------------------------
// Helpers

void ServerLink::Log(const std::string& text) {
  config_.observer.LogLine(FormatDateAndTime(config_.clock.Now()) + " " + text);
}

void ServerLink::TickIndicator() { config_.observer.TickServerIndicator(server_connected_.load()); }

void ServerLink::Report(const std::string& what) {
  if (config_.reporter == nullptr) return;
  try {
    config_.reporter->ReportException("server link", what);
  } catch (...) {
  }
}

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
  if (!established_) {
    // Something queued without a connection goes to the spool at once.
    if (!queue_.IsEmpty()) return false;
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
    last_progress_ms_ = config_.clock.MonotonicMs();
    uint64_t generation = 0;
    {
      std::lock_guard lock(wake_mutex_);
      generation = wake_generation_;
    }
    uint64_t wake_at_ms = kNoDeadline;
    if (CanSkipStep(wake_at_ms)) {
      // Nothing can happen before the deadline unless someone enqueues or asks to stop; the
      // wait still ends now and then to stamp its progress.
      const uint64_t now = config_.clock.MonotonicMs();
      const uint64_t until = std::min(wake_at_ms, now + kMaxIdleWaitMs);
      std::unique_lock lock(wake_mutex_);
      config_.clock.WaitUntil(wake_cv_, lock, until,
                              [&] { return stop_requested_.load() || wake_generation_ != generation; });
      continue;
    }
    bool worked = false;
    try {
      worked = Step();
    } catch (...) {
      // An unexpected fault must not end the link; the next step goes on.
      Report(CurrentExceptionText());
    }
    // A step that sent or read goes straight on to the next: the link keeps the server's pace.
    if (!worked) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  CloseClientAtEnd();
  {
    std::lock_guard lock(stopped_mutex_);
    stopped_ = true;
  }
  stopped_cv_.notify_all();
}

void ServerLink::CloseClientAtEnd() {
  // A stop between steps: nothing is in flight, whatever is still queued is undelivered.
  established_ = false;
  in_flight_file_.clear();
  SpoolQueued();
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

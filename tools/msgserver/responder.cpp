#include "responder.h"

#include "wire/message_types.h"
#include "wire/event_record.h"

namespace drv::msgserver {
namespace {

constexpr uint32_t kHugeLength = 0x7FFFFFF0;
constexpr uint32_t kCutAnnounced = 100;
constexpr std::size_t kCutSent = 10;

std::vector<uint8_t> TransportHeader(uint8_t mark, uint32_t length) {
  std::vector<uint8_t> header(kTransportHeaderSize, 0);
  header[0] = mark;
  PutLe32(&header[5], length);
  PutLe32(&header[17], length);
  return header;
}

}  // namespace

void Responder::NewConnection() {
  frames_ = 0;
  muted_ = false;
}

uint32_t Responder::ReplyType(const std::optional<ParsedMessage>& message) const {
  if (options_.command != 0 && frames_ == options_.command_after) return options_.command;
  if (options_.poll_every != 0 && frames_ % options_.poll_every == 0) return mtPoll;
  if (!message) return mtKeepAlive;
  switch (message->type) {
    case mtHello: return mtAccepted;
    case mtStoredEvent: return options_.no_ack ? mtKeepAlive : mtStoredEventAck;
    case mtLinkState: return options_.no_ack ? mtKeepAlive : mtLinkStateAck;
    default: return mtKeepAlive;
  }
}

Answer Responder::OnFrame(const std::optional<ParsedMessage>& message) {
  ++frames_;
  ++total_;
  Answer answer;
  answer.close = options_.close_after != 0 && frames_ == options_.close_after;
  answer.exit = options_.exit_after != 0 && total_ == options_.exit_after;
  if (options_.crash_after != 0 && total_ == options_.crash_after) {
    answer.crash = true;
    return answer;
  }
  if (options_.poison_object != 0 && message && (message->type == mtEvent || message->type == mtStoredEvent) &&
      message->payload.size() >= 4 && static_cast<int32_t>(GetLe32(message->payload.data())) == options_.poison_object) {
    answer.close = true;
    return answer;
  }
  if (hung_ || options_.silent || muted_ || (options_.silent_after != 0 && frames_ > options_.silent_after)) {
    return answer;
  }

  // Replies carry the sequence of the message they answer; the driver does not look at it.
  const std::vector<uint8_t> reply = BuildMessage(ReplyType(message), {}, message ? message->sequence : 0);
  if (frames_ == options_.huge_length_after) {
    answer.bytes = TransportHeader(kFrameMark, kHugeLength);
  } else if (frames_ == options_.cut_body_after) {
    answer.bytes = TransportHeader(kFrameMark, kCutAnnounced);
    answer.bytes.insert(answer.bytes.end(), reply.begin(), reply.begin() + kCutSent);
    muted_ = true;
  } else {
    answer.bytes = BuildFrame(reply);
    if (frames_ == options_.bad_mark_after) answer.bytes[0] = 0x00;
    answer.drip = frames_ == options_.drip_after;
  }
  return answer;
}

}  // namespace drv::msgserver

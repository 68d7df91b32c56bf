#include "serverlink/send_queue.h"

#include <utility>

#include "wire/frames.h"
#include "wire/message_types.h"
#include "wire/event_record.h"

namespace drv {

namespace {

MessageOrigin OriginOfType(uint32_t type) {
  return type == mtEvent || type == mtLinkState ? MessageOrigin::kRecord : MessageOrigin::kConnection;
}

}  // namespace

bool TSendQueue::Store(std::span<const uint8_t> message) {
  QueuedMessage entry;
  entry.bytes.assign(message.begin(), message.end());
  if (entry.bytes.size() >= kMessageHeaderSize) entry.type = GetLe32(&entry.bytes[1]);
  entry.origin = OriginOfType(entry.type);
  std::lock_guard lock(mutex_);
  return StoreLocked(std::move(entry));
}

bool TSendQueue::StoreLocked(QueuedMessage message) {
  if (full_) return false;
  slots_[tail_] = std::move(message);
  tail_ = (tail_ + 1) % kSlotCount;
  if (tail_ == head_) full_ = true;
  return true;
}

bool TSendQueue::Peek(std::vector<uint8_t>& message) const {
  std::lock_guard lock(mutex_);
  if (EmptyLocked()) return false;
  message = slots_[head_].bytes;
  return true;
}

bool TSendQueue::PeekForSend(QueuedMessage& message) {
  std::lock_guard lock(mutex_);
  if (EmptyLocked()) return false;
  message = slots_[head_];
  head_in_flight_ = true;
  return true;
}

void TSendQueue::Drop() {
  std::lock_guard lock(mutex_);
  DropLocked();
}

void TSendQueue::DropLocked() {
  if (EmptyLocked()) return;
  slots_[head_] = QueuedMessage{};
  head_ = (head_ + 1) % kSlotCount;
  full_ = false;
  head_in_flight_ = false;
}

bool TSendQueue::EnqueueMessage(uint32_t type, std::span<const uint8_t> payload) {
  std::lock_guard lock(mutex_);
  return EnqueueLocked(type, payload, OriginOfType(type), {});
}

bool TSendQueue::EnqueueReplayed(uint32_t type, std::span<const uint8_t> payload, const std::string& path) {
  std::lock_guard lock(mutex_);
  return EnqueueLocked(type, payload, MessageOrigin::kReplayed, path);
}

bool TSendQueue::EnqueueLocked(uint32_t type, std::span<const uint8_t> payload, MessageOrigin origin,
                               const std::string& path) {
  // Numbering and storing under one lock keeps the queue order equal to the number order.
  const int64_t sequence = sequence_++;
  if (full_) return false;
  return StoreLocked(QueuedMessage{BuildMessage(type, payload, sequence), type, origin, path});
}

std::vector<QueuedMessage> TSendQueue::TakeAll() {
  std::lock_guard lock(mutex_);
  std::vector<QueuedMessage> taken;
  while (!EmptyLocked()) {
    taken.push_back(std::move(slots_[head_]));
    DropLocked();
  }
  return taken;
}

std::vector<QueuedMessage> TSendQueue::TakeWaiting() {
  std::lock_guard lock(mutex_);
  std::vector<QueuedMessage> taken;
  if (EmptyLocked()) return taken;
  // An in-flight head stays where it is; the rest behind it is taken and the ring closed up.
  const bool keep_head = head_in_flight_;
  QueuedMessage head;
  if (keep_head) {
    head = std::move(slots_[head_]);
    DropLocked();
  }
  while (!EmptyLocked()) {
    taken.push_back(std::move(slots_[head_]));
    DropLocked();
  }
  if (keep_head) {
    StoreLocked(std::move(head));
    head_in_flight_ = true;
  }
  return taken;
}

int32_t TSendQueue::Head() const {
  std::lock_guard lock(mutex_);
  return head_;
}

int32_t TSendQueue::Tail() const {
  std::lock_guard lock(mutex_);
  return tail_;
}

bool TSendQueue::IsFull() const {
  std::lock_guard lock(mutex_);
  return full_;
}

bool TSendQueue::IsEmpty() const {
  std::lock_guard lock(mutex_);
  return EmptyLocked();
}

int32_t TSendQueue::Count() const {
  std::lock_guard lock(mutex_);
  if (full_) return kSlotCount;
  return (tail_ - head_ + kSlotCount) % kSlotCount;
}

int64_t TSendQueue::NextSequence() const {
  std::lock_guard lock(mutex_);
  return sequence_;
}

}  // namespace drv

#include "serverlink/send_queue.h"

#include "wire/frames.h"

namespace drv {

bool TSendQueue::Store(std::span<const uint8_t> message) {
  std::lock_guard lock(mutex_);
  return StoreLocked(message);
}

bool TSendQueue::StoreLocked(std::span<const uint8_t> message) {
  if (full_) return false;
  slots_[tail_].assign(message.begin(), message.end());
  tail_ = (tail_ + 1) % kSlotCount;
  if (tail_ == head_) full_ = true;
  return true;
}

bool TSendQueue::Peek(std::vector<uint8_t>& message) const {
  std::lock_guard lock(mutex_);
  if (EmptyLocked()) return false;
  message = slots_[head_];
  return true;
}

void TSendQueue::Drop() {
  std::lock_guard lock(mutex_);
  if (EmptyLocked()) return;
  std::vector<uint8_t>().swap(slots_[head_]);
  head_ = (head_ + 1) % kSlotCount;
  full_ = false;
}

bool TSendQueue::EnqueueMessage(uint32_t type, std::span<const uint8_t> payload) {
  std::lock_guard lock(mutex_);
  // Numbering and storing under one lock keeps the queue order equal to the number order.
  const int64_t sequence = sequence_++;
  return StoreLocked(BuildMessage(type, payload, sequence));
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

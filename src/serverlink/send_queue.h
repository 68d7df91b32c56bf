#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

namespace drv {

// The messages waiting for the server: a fixed ring of 100 slots, each holding its own copy
// of one complete message, and the sequence counter that numbers them. Every operation is
// indivisible under one mutex, so the main thread may enqueue while the link thread peeks
// and drops. The mutex is held only inside these calls, never across I/O or a hand-over.
class TSendQueue {
 public:
  static constexpr int32_t kSlotCount = 100;

  // Copies the message into the tail slot; false when the ring is full.
  bool Store(std::span<const uint8_t> message);
  // Copies the oldest message out; false (output untouched) when the ring is empty.
  bool Peek(std::vector<uint8_t>& message) const;
  // Removes the oldest message and frees its slot; nothing on an empty ring.
  void Drop();

  // Takes the next sequence number, builds the message and stores it. The number is used up
  // even when the full ring refuses the message; false tells the caller it was refused.
  bool EnqueueMessage(uint32_t type, std::span<const uint8_t> payload);

  int32_t Head() const;
  int32_t Tail() const;
  bool IsFull() const;
  bool IsEmpty() const;
  int32_t Count() const;
  int64_t NextSequence() const;

 private:
  bool StoreLocked(std::span<const uint8_t> message);
  bool EmptyLocked() const { return head_ == tail_ && !full_; }

  mutable std::mutex mutex_;
  std::array<std::vector<uint8_t>, kSlotCount> slots_;
  int32_t head_ = 0;
  int32_t tail_ = 0;
  bool full_ = false;
  int64_t sequence_ = 0;
};

}  // namespace drv

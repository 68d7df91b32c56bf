#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace drv {

// Who a queued message belongs to, which decides what becomes of it when its connection
// ends before the server has answered it.
enum class MessageOrigin {
  kConnection,  // greeting, poll answer, port state: meaningful only on its own connection
  kRecord,      // a live event or station-link record: the driver's until answered
  kReplayed,    // a spool file's message: the file stays on disk until acknowledged
};

struct QueuedMessage {
  std::vector<uint8_t> bytes;  // message header and payload
  uint32_t type = 0;
  MessageOrigin origin = MessageOrigin::kConnection;
  std::string spool_path;  // the file a replayed message came from
};

// The messages waiting for the server: a fixed ring of 100 slots, each holding its own copy
// of one complete message, and the sequence counter that numbers them. Every operation is
// indivisible under one mutex, so the main thread may enqueue while the link thread peeks
// and drops. The mutex is held only inside these calls, never across I/O or a hand-over.
//
// The link thread marks the head "in flight" while it writes it and waits for its reply:
// the head then stays in the ring until answered, and TakeWaiting leaves it to the link.
class TSendQueue {
 public:
  static constexpr int32_t kSlotCount = 100;

  // Copies the message into the tail slot; false when the ring is full.
  bool Store(std::span<const uint8_t> message);
  // Copies the oldest message out; false (output untouched) when the ring is empty.
  bool Peek(std::vector<uint8_t>& message) const;
  // Copies the oldest message out and marks it in flight.
  bool PeekForSend(QueuedMessage& message);
  // Removes the oldest message and frees its slot; nothing on an empty ring.
  void Drop();

  // Takes the next sequence number, builds the message and stores it. The number is used up
  // even when the full ring refuses the message; false tells the caller it was refused.
  // mtEvent and mtLinkState are records; everything else belongs to the connection.
  bool EnqueueMessage(uint32_t type, std::span<const uint8_t> payload);
  // The same for a message read back from the spool file `path`.
  bool EnqueueReplayed(uint32_t type, std::span<const uint8_t> payload, const std::string& path);

  // Takes every message out, oldest first, the one in flight included.
  std::vector<QueuedMessage> TakeAll();
  // Takes every message out except a head that is in flight.
  std::vector<QueuedMessage> TakeWaiting();

  int32_t Head() const;
  int32_t Tail() const;
  bool IsFull() const;
  bool IsEmpty() const;
  int32_t Count() const;
  int64_t NextSequence() const;

 private:
  bool StoreLocked(QueuedMessage message);
  bool EnqueueLocked(uint32_t type, std::span<const uint8_t> payload, MessageOrigin origin, const std::string& path);
  bool EmptyLocked() const { return head_ == tail_ && !full_; }
  void DropLocked();

  mutable std::mutex mutex_;
  std::array<QueuedMessage, kSlotCount> slots_;
  int32_t head_ = 0;
  int32_t tail_ = 0;
  bool full_ = false;
  bool head_in_flight_ = false;
  int64_t sequence_ = 0;
};

}  // namespace drv

#include "serverlink/send_queue.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <thread>
#include <vector>

#include "wire/frames.h"
#include "wire/message_types.h"
#include "wire/event_record.h"

namespace drv {
namespace {

int64_t SequenceOf(const std::vector<uint8_t>& message) { return static_cast<int64_t>(GetLe64(&message[9])); }

class SendQueueTest : public ::testing::Test {
 protected:
  bool Enqueue() { return queue.EnqueueMessage(mtEvent, payload); }
  void Fill() {
    for (int i = 0; i < TSendQueue::kSlotCount; ++i) ASSERT_TRUE(Enqueue()) << i;
  }

  TSendQueue queue;
  std::array<uint8_t, 3> payload{1, 2, 3};
};

TEST_F(SendQueueTest, HundredFitAndTheNextIsLostWithItsNumber) {
  Fill();
  EXPECT_TRUE(queue.IsFull());
  EXPECT_EQ(queue.Head(), queue.Tail());
  EXPECT_FALSE(Enqueue());
  EXPECT_EQ(queue.NextSequence(), 101);

  queue.Drop();
  ASSERT_TRUE(Enqueue());
  // The newest message sits in the slot before the tail; its number skips the lost one.
  for (int i = 0; i < TSendQueue::kSlotCount - 1; ++i) queue.Drop();
  std::vector<uint8_t> last;
  ASSERT_TRUE(queue.Peek(last));
  EXPECT_EQ(SequenceOf(last), 101);
}

TEST_F(SendQueueTest, AfterOneDropFromFullExactlyOneMoreFits) {
  Fill();
  queue.Drop();
  EXPECT_FALSE(queue.IsFull());
  EXPECT_EQ(queue.Count(), 99);
  EXPECT_TRUE(Enqueue());
  EXPECT_TRUE(queue.IsFull());
  EXPECT_FALSE(Enqueue());
}

TEST_F(SendQueueTest, HundredStoresAndDropsWrapToSlotZero) {
  Fill();
  for (int i = 0; i < TSendQueue::kSlotCount; ++i) queue.Drop();
  EXPECT_EQ(queue.Head(), 0);
  EXPECT_EQ(queue.Tail(), 0);
  EXPECT_TRUE(queue.IsEmpty());
  EXPECT_FALSE(queue.IsFull());
  ASSERT_TRUE(Enqueue());
  EXPECT_EQ(queue.Tail(), 1);
  EXPECT_EQ(queue.Count(), 1);
}

TEST_F(SendQueueTest, PeekCopiesAndKeepsTheHead) {
  ASSERT_TRUE(Enqueue());
  ASSERT_TRUE(Enqueue());
  std::vector<uint8_t> first;
  std::vector<uint8_t> second;
  ASSERT_TRUE(queue.Peek(first));
  ASSERT_TRUE(queue.Peek(second));
  EXPECT_EQ(first, second);
  EXPECT_EQ(first, BuildMessage(mtEvent, payload, 0));
  first[0] = 0;  // a copy: the slot is not touched
  ASSERT_TRUE(queue.Peek(second));
  EXPECT_EQ(second[0], kStartMark);
  queue.Drop();
  ASSERT_TRUE(queue.Peek(second));
  EXPECT_EQ(SequenceOf(second), 1);
}

TEST_F(SendQueueTest, EmptyRingPeekAndDropChangeNothing) {
  std::vector<uint8_t> out{9, 9};
  EXPECT_FALSE(queue.Peek(out));
  EXPECT_EQ(out, (std::vector<uint8_t>{9, 9}));
  queue.Drop();
  EXPECT_EQ(queue.Head(), 0);
  EXPECT_EQ(queue.Tail(), 0);
  EXPECT_TRUE(queue.IsEmpty());
}

TEST_F(SendQueueTest, EmptyPayloadTakesEighteenBytes) {
  ASSERT_TRUE(queue.EnqueueMessage(mtPollAnswer, {}));
  std::vector<uint8_t> message;
  ASSERT_TRUE(queue.Peek(message));
  EXPECT_EQ(message.size(), kMessageHeaderSize);
}

TEST_F(SendQueueTest, TakeWaitingLeavesTheMessageInFlight) {
  ASSERT_TRUE(queue.EnqueueMessage(mtEvent, payload));
  ASSERT_TRUE(queue.EnqueueReplayed(mtStoredEvent, payload, "spool/A.dd8"));
  ASSERT_TRUE(queue.EnqueueMessage(mtHello, {}));
  QueuedMessage head;
  ASSERT_TRUE(queue.PeekForSend(head));
  EXPECT_EQ(head.origin, MessageOrigin::kRecord);

  const auto waiting = queue.TakeWaiting();
  ASSERT_EQ(waiting.size(), 2u);
  EXPECT_EQ(waiting[0].origin, MessageOrigin::kReplayed);
  EXPECT_EQ(waiting[0].spool_path, "spool/A.dd8");
  EXPECT_EQ(waiting[1].origin, MessageOrigin::kConnection);
  // The link's answer still drops exactly the message it sent.
  ASSERT_EQ(queue.Count(), 1);
  queue.Drop();
  EXPECT_TRUE(queue.IsEmpty());

  // Nothing in flight: everything is waiting.
  ASSERT_TRUE(Enqueue());
  EXPECT_EQ(queue.TakeWaiting().size(), 1u);
}

TEST(SendQueueThreads, ProducerAndConsumerSeeEveryMessageOnceInOrder) {
  // The main thread enqueues while the link thread peeks and drops: against a plain model
  // (sequence numbers strictly rising, none skipped unless refused), nothing is lost,
  // doubled or reordered.
  constexpr int kMessages = 20000;
  TSendQueue queue;
  std::vector<int64_t> refused;  // the producer's own until joined
  std::atomic<int> refused_count{0};
  std::thread producer([&] {
    for (int i = 0; i < kMessages; ++i) {
      const uint8_t byte = static_cast<uint8_t>(i);
      if (!queue.EnqueueMessage(mtEvent, std::span<const uint8_t>(&byte, 1))) {
        refused.push_back(i);
        ++refused_count;
      }
    }
  });
  std::vector<int64_t> received;
  QueuedMessage message;
  while (static_cast<int>(received.size()) + refused_count.load() < kMessages) {
    if (!queue.PeekForSend(message)) {
      std::this_thread::yield();
      continue;
    }
    received.push_back(static_cast<int64_t>(GetLe64(&message.bytes[9])));
    queue.Drop();
  }
  producer.join();
  EXPECT_TRUE(queue.IsEmpty());
  std::vector<int64_t> expected;
  std::size_t r = 0;
  for (int64_t i = 0; i < kMessages; ++i) {
    if (r < refused.size() && refused[r] == i) {
      ++r;
      continue;
    }
    expected.push_back(i);
  }
  EXPECT_EQ(received, expected);
}

}  // namespace
}  // namespace drv

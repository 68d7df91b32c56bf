#include "wire/frames.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "wire/message_types.h"
#include "wire/event_record.h"

namespace drv {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(FramesTest, KeepAliveMessageAndFrame) {
  const Bytes message = BuildMessage(mtKeepAlive, {}, 0);
  const Bytes expected{0xFF, 0x00, 0x00, 0x00, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFE};
  EXPECT_EQ(message, expected);

  const Bytes frame = BuildFrame(message);
  ASSERT_EQ(frame.size(), 39u);
  Bytes header(frame.begin(), frame.begin() + 21);
  Bytes expected_header(21, 0);
  expected_header[0] = 0xFF;
  expected_header[5] = 0x12;
  expected_header[17] = 0x12;
  EXPECT_EQ(header, expected_header);
  EXPECT_EQ(Bytes(frame.begin() + 21, frame.end()), message);
}

TEST(FramesTest, HelloAtSequenceZero) {
  const std::array<uint8_t, 2> payload{0x40, 0x00};
  const Bytes expected{0xFF, 0x01, 0x00, 0x00, 0x02, 0x02, 0x00, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0xFE, 0x40, 0x00};
  EXPECT_EQ(BuildMessage(mtHello, payload, 0), expected);
}

TEST(FramesTest, SequenceIsSigned64LittleEndian) {
  const Bytes message = BuildMessage(mtEvent, {}, 0x0102030405060708LL);
  EXPECT_EQ(Bytes(message.begin() + 9, message.begin() + 17), (Bytes{8, 7, 6, 5, 4, 3, 2, 1}));
}

TEST(FramesTest, EventMessageAndFrameLengths) {
  const std::array<uint8_t, TEventRecord::kSize> record{};
  const Bytes message = BuildMessage(mtEvent, record, 5);
  ASSERT_EQ(message.size(), 38u);
  const Bytes frame = BuildFrame(message);
  ASSERT_EQ(frame.size(), 59u);
  EXPECT_EQ(GetLe32(&frame[5]), 38u);
  EXPECT_EQ(GetLe32(&frame[17]), 38u);
}

TEST(FramesTest, TransportMessageLengthByMark) {
  struct Row {
    uint8_t mark;
    int32_t length;
    std::optional<int32_t> expected;
  };
  const Row rows[] = {
      {0xFF, 18, 18}, {0xF0, 18, 18}, {0xFF, -1, -1}, {0x00, 18, std::nullopt}, {0xFE, 18, std::nullopt},
  };
  for (const Row& row : rows) {
    std::array<uint8_t, kTransportHeaderSize> header{};
    header[0] = row.mark;
    PutLe32(&header[5], static_cast<uint32_t>(row.length));
    PutLe32(&header[17], 999);  // the repeat is ignored on receipt
    EXPECT_EQ(TransportMessageLength(header), row.expected) << "mark " << int(row.mark);
  }
}

TEST(FramesTest, ValidateMessage) {
  auto message_of = [](std::size_t size, int32_t length_field, uint8_t start, uint8_t end) {
    Bytes m(size, 0xAA);
    if (size > 0) m[0] = start;
    if (size > 8) PutLe32(&m[1], mtAccepted), PutLe32(&m[5], static_cast<uint32_t>(length_field));
    if (size > 17) m[17] = end;
    return m;
  };
  struct Row {
    const char* name;
    Bytes message;
    bool valid;
    std::size_t payload_size;
  };
  const Row rows[] = {
      {"header only", message_of(18, 0, 0xFF, 0xFE), true, 0},
      {"length field 0 ignores extra bytes", message_of(25, 0, 0xFF, 0xFE), true, 0},
      {"payload counted from the buffer", message_of(25, 3, 0xFF, 0xFE), true, 7},
      {"too short", message_of(17, 0, 0xFF, 0xFE), false, 0},
      {"wrong start", message_of(20, 2, 0xF0, 0xFE), false, 0},
      {"wrong end", message_of(20, 2, 0xFF, 0xFF), false, 0},
  };
  for (const Row& row : rows) {
    const auto parsed = ValidateMessage(row.message);
    ASSERT_EQ(parsed.has_value(), row.valid) << row.name;
    if (!parsed) continue;
    EXPECT_EQ(parsed->type, mtAccepted) << row.name;
    EXPECT_EQ(parsed->payload.size(), row.payload_size) << row.name;
  }
}

}  // namespace
}  // namespace drv

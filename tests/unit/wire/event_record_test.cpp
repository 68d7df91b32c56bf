#include "wire/event_record.h"

#include <gtest/gtest.h>

#include <string>

namespace drv {
namespace {

using Bytes = std::array<uint8_t, TEventRecord::kSize>;

struct RecordCase {
  const char* name;
  TEventRecord record;
  Bytes bytes;
};

TEventRecord Make(int32_t object, uint8_t length, std::array<uint8_t, 4> code, uint8_t pos4, uint8_t pos56,
                  DateTime stamp) {
  TEventRecord r;
  r.ObjectNumber = object;
  r.EventCodeLength = length;
  r.EventCode = code;
  r.Pos4Value = pos4;
  r.Pos56Value = pos56;
  r.TimeStamp = stamp;
  return r;
}

class EventRecordBytes : public ::testing::TestWithParam<RecordCase> {};

TEST_P(EventRecordBytes, AreLaidOutFieldByField) {
  EXPECT_EQ(GetParam().record.Bytes(), GetParam().bytes);
}

TEST_P(EventRecordBytes, ReadBackUnchanged) {
  EXPECT_EQ(TEventRecord::FromBytes(GetParam().bytes).Bytes(), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Records, EventRecordBytes,
    ::testing::Values(
        // 322345 = 0x0004EB29; 1.5 = 0x3FF8000000000000.
        RecordCase{"Sample", Make(322345, 2, {'6', '7', 0, 0}, 8, 0, 1.5),
                   {0x29, 0xEB, 0x04, 0x00, 2, '6', '7', 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F, 0x27}},
        RecordCase{"NegativeObjectAndHighBytes", Make(-2, 0, {0, 0, 0, 0}, 251, 255, 0.0),
                   {0xFE, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 251, 255, 0, 0, 0, 0, 0, 0, 0, 0, 0x27}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LittleEndianHelpers, RoundTripAndByteOrder) {
  uint8_t buffer[8] = {};
  PutLe32(buffer, 0x03000032);
  EXPECT_EQ(buffer[0], 0x32);
  EXPECT_EQ(buffer[3], 0x03);
  EXPECT_EQ(GetLe32(buffer), 0x03000032u);
  PutDouble(buffer, -123.25);
  EXPECT_EQ(GetDouble(buffer), -123.25);
  PutLe64(buffer, 0x0102030405060708ull);
  EXPECT_EQ(buffer[0], 0x08);
  EXPECT_EQ(GetLe64(buffer), 0x0102030405060708ull);
}

}  // namespace
}  // namespace drv

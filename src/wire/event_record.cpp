#include "wire/event_record.h"

#include <bit>
#include <cstring>

namespace drv {

void PutLe32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

void PutLe64(uint8_t* at, uint64_t value) {
  for (int i = 0; i < 8; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

void PutDouble(uint8_t* at, double value) { PutLe64(at, std::bit_cast<uint64_t>(value)); }

uint32_t GetLe32(const uint8_t* at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | at[i];
  return value;
}

uint64_t GetLe64(const uint8_t* at) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | at[i];
  return value;
}

double GetDouble(const uint8_t* at) { return std::bit_cast<double>(GetLe64(at)); }

std::array<uint8_t, TEventRecord::kSize> TEventRecord::Bytes() const {
  std::array<uint8_t, kSize> out{};
  PutLe32(&out[0], static_cast<uint32_t>(ObjectNumber));
  out[4] = EventCodeLength;
  std::memcpy(&out[5], EventCode.data(), 4);
  out[9] = Pos4Value;
  out[10] = Pos56Value;
  PutDouble(&out[11], TimeStamp);
  out[19] = RecordMark;
  return out;
}

TEventRecord TEventRecord::FromBytes(const std::array<uint8_t, kSize>& in) {
  TEventRecord r;
  r.ObjectNumber = static_cast<int32_t>(GetLe32(&in[0]));
  r.EventCodeLength = in[4];
  std::memcpy(r.EventCode.data(), &in[5], 4);
  r.Pos4Value = in[9];
  r.Pos56Value = in[10];
  r.TimeStamp = GetDouble(&in[11]);
  r.RecordMark = in[19];
  return r;
}

}  // namespace drv

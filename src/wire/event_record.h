#pragma once

#include <array>
#include <cstdint>

#include "base/clock.h"

namespace drv {

// One decoded receiver event. The 20 bytes of Bytes() are a wire and file format:
// little-endian, packed, laid out field by field, never by struct layout.
struct TEventRecord {
  static constexpr std::size_t kSize = 20;
  static constexpr uint8_t kRecordMark = 0x27;

  int32_t ObjectNumber = 0;
  uint8_t EventCodeLength = 0;                 // 2 when handed off, 0 for a rejected line
  std::array<uint8_t, 4> EventCode{};          // positions 12-13 of the line, then two zeros
  uint8_t Pos4Value = 0;
  uint8_t Pos56Value = 0;
  DateTime TimeStamp = 0;
  uint8_t RecordMark = kRecordMark;

  std::array<uint8_t, kSize> Bytes() const;
  static TEventRecord FromBytes(const std::array<uint8_t, kSize>& bytes);
};

// Little-endian helpers for the fixed-width records of the files and the wire.
void PutLe32(uint8_t* at, uint32_t value);
void PutLe64(uint8_t* at, uint64_t value);
void PutDouble(uint8_t* at, double value);
uint32_t GetLe32(const uint8_t* at);
uint64_t GetLe64(const uint8_t* at);
double GetDouble(const uint8_t* at);

}  // namespace drv

#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/reporting.h"

namespace drv::fuzz {

// Swallows reports: a fuzz run only looks for crashes and undefined behaviour.
class QuietReporter final : public Reporter {
 public:
  void ReportException(const std::string&, const std::string&) override {}
  void OperatorLog(const std::string&) override {}
};

// Reads the input front to back; past the end it yields zeros.
class InputReader {
 public:
  InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Empty() const { return pos_ >= size_; }
  size_t Left() const { return size_ - pos_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  const uint8_t* Take(size_t& count) {
    if (count > Left()) count = Left();
    const uint8_t* at = data_ + pos_;
    pos_ += count;
    return at;
  }
  std::string Text(size_t count) {
    const uint8_t* at = Take(count);
    return std::string(reinterpret_cast<const char*>(at), count);
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace drv::fuzz

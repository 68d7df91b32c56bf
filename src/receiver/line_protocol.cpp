#include "receiver/line_protocol.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include "base/date_time.h"

namespace drv {
namespace {

constexpr uint8_t kLineFeed = 0x0A;
constexpr uint8_t kEventLineMark = 'R';

bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }

// Characters at 1-based line positions [from, from + count) as text.
std::string_view Positions(const std::array<uint8_t, LineProtocol::kLineBufferSize>& buffer, int from,
                           int count) {
  return {reinterpret_cast<const char*>(buffer.data()) + (from - 1), static_cast<std::size_t>(count)};
}

// The record keeps only the low 8 bits, so a negative value wraps (-5 gives 251).
uint8_t LowByteOf(std::string_view text) {
  return static_cast<uint8_t>(static_cast<uint32_t>(TextToIntOr(text, 0)) & 0xFFu);
}

bool HasVisibleText(const TEventRecord& record) {
  const std::size_t length = std::min<std::size_t>(record.EventCodeLength, record.EventCode.size());
  for (std::size_t i = 0; i < length; ++i) {
    if (record.EventCode[i] > 32) return true;
  }
  return false;
}

}  // namespace

LineProtocol::LineProtocol(const Clock& clock, const Settings& settings, Reporter& reporter,
                           std::string log_path, HandOffFn hand_off, IndicatorFn station_indicator_changed)
    : clock_(clock),
      settings_(settings),
      reporter_(reporter),
      hex_log_(std::move(log_path)),
      hand_off_(std::move(hand_off)),
      station_indicator_changed_(std::move(station_indicator_changed)) {
  hex_log_.SetProblemHandler([this](const std::string& what) { reporter_.ReportException("hex log", what); });
  // One day back, so the first supervision tick without data reports the link lost.
  last_receive_time_ = clock_.Now() - 1.0;
  last_receive_mono_ = static_cast<int64_t>(clock_.MonotonicMs()) - kMsPerDayInt;
}

void LineProtocol::InjectTestLine() {
  SerialPortDriver1ReceivePacket(kTestLine.data(), static_cast<uint32_t>(kTestLine.size()));
}

void LineProtocol::SerialPortDriver1ReceivePacket(const uint8_t* packet, uint32_t size) {
  if (packet == nullptr || size == 0) return;
  StampReceive();
  if (settings_.Log) WriteHexLog(packet, size);
  for (uint32_t i = 0; i < size; ++i) AssembleByte(packet[i]);
}

void LineProtocol::StampReceive() {
  last_receive_time_ = clock_.Now();
  last_receive_mono_ = static_cast<int64_t>(clock_.MonotonicMs());
}

void LineProtocol::WriteHexLog(const uint8_t* packet, uint32_t size) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string line = FormatDateAndTime(clock_.Now());
  line += " - ";
  line.reserve(line.size() + 3 * std::size_t{size} + 2);
  for (uint32_t i = 0; i < size; ++i) {
    line += kHex[packet[i] >> 4];
    line += kHex[packet[i] & 0x0F];
    line += ' ';
  }
  line += "\r\n";

  // A log that cannot be written must not cost events: the failure is reported and the
  // packet is still assembled into lines by the caller.
  hex_log_.SetLimitsKB(settings_.LogMaxKB, settings_.LogFiles);
  std::string error;
  if (!hex_log_.Append(line, &error)) reporter_.ReportException("hex log " + hex_log_.path(), error);
}

void LineProtocol::AssembleByte(uint8_t byte) {
  // Bytes beyond the buffer are dropped; such a line can never be an event line anyway.
  if (line_index_ >= 1 && line_index_ <= kLineBufferSize) line_buffer_[line_index_ - 1] = byte;
  if (byte != kLineFeed) {
    if (line_index_ <= kLineBufferSize) ++line_index_;  // stays at 51 while a long line runs on
    return;
  }
  const bool event_line = line_index_ == kEventLineLength && line_buffer_[0] == kEventLineMark;
  line_index_ = 1;
  if (event_line) ProcessEventLine();
}

void LineProtocol::ProcessEventLine() {
  StampReceive();

  ++lines_received_;
  station_tick_ = station_tick_ >= kStationTickMax ? 0 : station_tick_ + 1;
  if (station_indicator_changed_) station_indicator_changed_();

  bool account_ok = true;
  for (int p = 7; p <= 11; ++p) account_ok = account_ok && IsDigit(line_buffer_[p - 1]);

  if (!account_ok) {
    record_.EventCodeLength = 0;
  } else {
    int32_t account = 0;
    for (int p = 7; p <= 11; ++p) account = account * 10 + (line_buffer_[p - 1] - '0');
    // 32-bit wrap-around, as the record's field is defined; done unsigned to stay defined.
    const uint32_t object = static_cast<uint32_t>(settings_.FirstNumber) * 10000u + static_cast<uint32_t>(account);
    record_.ObjectNumber = static_cast<int32_t>(object);
    record_.RecordMark = TEventRecord::kRecordMark;
    record_.EventCodeLength = 2;
    record_.EventCode = {line_buffer_[11], line_buffer_[12], 0, 0};
    record_.TimeStamp = clock_.Now();
    record_.Pos4Value = LowByteOf(Positions(line_buffer_, 4, 1));
    record_.Pos56Value = LowByteOf(Positions(line_buffer_, 5, 2));

    if (!settings_.Reg.empty()) {
      std::string key = ",";
      key += Positions(line_buffer_, 7, 3);
      key += ',';
      if (settings_.Reg.find(key) == std::string::npos) record_.EventCodeLength = 0;
    }
  }

  if (HasVisibleText(record_) && hand_off_) hand_off_(record_);
}

}  // namespace drv

#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "base/clock.h"
#include "base/rotating_log.h"
#include "base/reporting.h"
#include "base/settings.h"
#include "wire/event_record.h"

namespace drv {

inline constexpr const char kHexLogFileName[] = "drvlarna.log";

// Turns the receiver's packets into event records: assembles lines, recognises the
// 15-byte "R..." event line, checks the account, applies the Reg filter and hands the
// record off. Also keeps the receive stamps the station supervision watches and writes
// every packet to the hex log. Runs on the main thread only.
class LineProtocol {
 public:
  using HandOffFn = std::function<void(const TEventRecord&)>;
  using IndicatorFn = std::function<void()>;

  static constexpr int32_t kLineBufferSize = 50;
  static constexpr int32_t kEventLineLength = 15;
  static constexpr int32_t kStationTickMax = 16;
  // "R A8001234567" CR LF: the line the hidden test button feeds in.
  static constexpr std::array<uint8_t, 15> kTestLine = {0x52, 0x20, 0x41, 0x38, 0x30, 0x30, 0x31, 0x32,
                                                        0x33, 0x34, 0x35, 0x36, 0x37, 0x0D, 0x0A};

  // `settings` must outlive this object; its Reg is expected normalised.
  LineProtocol(const Clock& clock, const Settings& settings, Reporter& reporter,
               std::string log_path = kHexLogFileName, HandOffFn hand_off = {},
               IndicatorFn station_indicator_changed = {});

  // The serial port's packet event: `size` bytes in arrival order.
  void SerialPortDriver1ReceivePacket(const uint8_t* packet, uint32_t size);
  // The hidden test button: the sample line, exactly as if it came from the port.
  void InjectTestLine();

  DateTime LastReceiveTime() const { return last_receive_time_; }
  // Monotonic stamp of the same moment. Signed: at start-up it lies one day back, which
  // may be before the monotonic clock's zero.
  int64_t LastReceiveMonotonicMs() const { return last_receive_mono_; }
  int32_t StationTick() const { return station_tick_; }
  int32_t LineIndex() const { return line_index_; }
  // Event lines (15 bytes, first byte R) taken in since start, accepted or not.
  uint64_t LinesReceived() const { return lines_received_; }
  // The one record the protocol fills; it keeps the previous line's fields when a line
  // fails the account check.
  const TEventRecord& Record() const { return record_; }

 private:
  void StampReceive();
  void WriteHexLog(const uint8_t* packet, uint32_t size);
  void AssembleByte(uint8_t byte);
  void ProcessEventLine();

  const Clock& clock_;
  const Settings& settings_;
  Reporter& reporter_;
  RotatingLog hex_log_;
  HandOffFn hand_off_;
  IndicatorFn station_indicator_changed_;

  std::array<uint8_t, kLineBufferSize> line_buffer_{};  // position p is line_buffer_[p - 1]
  int32_t line_index_ = 1;
  DateTime last_receive_time_ = 0;
  int64_t last_receive_mono_ = 0;
  int32_t station_tick_ = 0;
  uint64_t lines_received_ = 0;
  TEventRecord record_;
};

}  // namespace drv

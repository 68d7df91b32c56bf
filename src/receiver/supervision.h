#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "base/clock.h"
#include "base/reporting.h"
#include "base/settings.h"
#include "receiver/line_protocol.h"
#include "wire/link_state_record.h"

namespace drv {

// Watches the receiver's silence against Attention on every 200 ms tick (after the spool
// replay step) and reports each change of the station link. The silence is measured on
// the monotonic clock, so setting the wall clock neither fakes a loss nor hides one.
class StationSupervision {
 public:
  using SendOrSpoolFn = std::function<void(uint32_t type, std::span<const uint8_t> payload)>;
  using IndicatorFn = std::function<void()>;
  using ErrorCodeWriter = std::function<void(int32_t code)>;

  // The caption shown until the first tick.
  static constexpr const char kInitialElapsedText[] = "Время с последнего сообщения";
  static constexpr int32_t kStepErrorCode = 9;

  // `settings` and `line` must outlive this object. An empty `write_error_code` writes to
  // the error list file.
  StationSupervision(const Clock& clock, const Settings& settings, const LineProtocol& line, Reporter& reporter,
                     SendOrSpoolFn send_or_spool, IndicatorFn station_indicator_changed = {},
                     ErrorCodeWriter write_error_code = {});

  void Step();

  bool StationLinkOk() const { return station_link_ok_; }
  // Time since the last received data, hh:mm:ss; whole days are dropped.
  const std::string& ElapsedText() const { return elapsed_text_; }

 private:
  void Supervise(int64_t elapsed_ms);

  const Clock& clock_;
  const Settings& settings_;
  const LineProtocol& line_;
  Reporter& reporter_;
  SendOrSpoolFn send_or_spool_;
  IndicatorFn station_indicator_changed_;
  ErrorCodeWriter write_error_code_;

  bool station_link_ok_ = true;
  std::string elapsed_text_ = kInitialElapsedText;
};

}  // namespace drv

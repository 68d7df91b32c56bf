#include "receiver/supervision.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <utility>

#include "base/error_list.h"
#include "base/guarded.h"
#include "wire/message_types.h"

namespace drv {
namespace {

std::string FormatElapsed(int64_t elapsed_ms) {
  const int64_t seconds = (elapsed_ms % kMsPerDayInt) / 1000;
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", static_cast<int>(seconds / 3600),
                static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
  return text;
}

}  // namespace

StationSupervision::StationSupervision(const Clock& clock, const Settings& settings, const LineProtocol& line,
                                       Reporter& reporter, SendOrSpoolFn send_or_spool,
                                       IndicatorFn station_indicator_changed, ErrorCodeWriter write_error_code)
    : clock_(clock),
      settings_(settings),
      line_(line),
      reporter_(reporter),
      send_or_spool_(std::move(send_or_spool)),
      station_indicator_changed_(std::move(station_indicator_changed)),
      write_error_code_(std::move(write_error_code)) {
  if (!write_error_code_) write_error_code_ = [](int32_t code) { WriteErrorCode(code); };
}

void StationSupervision::Step() {
  try {
    // The monotonic stamp may lie before the clock's zero at start-up; it never lies ahead.
    const int64_t elapsed_ms =
        std::max<int64_t>(0, static_cast<int64_t>(clock_.MonotonicMs()) - line_.LastReceiveMonotonicMs());
    elapsed_text_ = FormatElapsed(elapsed_ms);
    Supervise(elapsed_ms);
  } catch (...) {
    const std::string step_error = CurrentExceptionText();
    try {
      write_error_code_(kStepErrorCode);
    } catch (...) {
      reporter_.ReportException("station supervision", step_error + "; error list: " + CurrentExceptionText());
    }
  }
}

void StationSupervision::Supervise(int64_t elapsed_ms) {
  // Whole milliseconds, so a gap of exactly Attention counts as within.
  const int64_t attention_ms = std::llround(settings_.Attention * kMsPerDay);
  const bool within = elapsed_ms <= attention_ms;
  if (within == station_link_ok_) return;

  // Changed first: should the report fail, the change is not reported again.
  station_link_ok_ = within;
  if (station_indicator_changed_) station_indicator_changed_();

  TLinkStateRecord record;
  record.FirstNumberByte = static_cast<uint8_t>(static_cast<uint32_t>(settings_.FirstNumber) & 0xFFu);
  record.TimeStamp = clock_.Now();
  record.LinkLost = within ? 0 : 1;
  const auto bytes = record.Bytes();
  if (send_or_spool_) send_or_spool_(mtLinkState, bytes);
}

}  // namespace drv

#include "receiver/port_recovery.h"

namespace drv {

namespace {
constexpr std::string_view kDevicePrefix = "\\\\.\\";
}  // namespace

PortRecovery::PortRecovery(TSerialPortDriver& port, const Clock& clock, Reporter& reporter)
    : port_(port), clock_(clock), reporter_(reporter) {}

std::string PortRecovery::DisplayName(const std::string& port_name) {
  if (port_name.starts_with(kDevicePrefix)) return port_name.substr(kDevicePrefix.size());
  return port_name;
}

std::string PortRecovery::LostText(const std::string& port_name) {
  return "Порт " + DisplayName(port_name) + " потерян, повторное открытие каждые " +
         std::to_string(kRetryIntervalMs / 1000) + " с.";
}

std::string PortRecovery::ReopenedText(const std::string& port_name) {
  return "Порт " + DisplayName(port_name) + " снова открыт.";
}

void PortRecovery::DeviceLost() {
  if (recovering_ || !port_.PortOpen()) return;
  recovering_ = true;
  port_name_ = port_.PortName();
  dtr_ = port_.DTRLineRequest();
  rts_ = port_.RTSLineRequest();
  port_.FlushPending();
  port_.ClosePort();
  next_try_ms_ = clock_.MonotonicMs() + kRetryIntervalMs;
  reporter_.OperatorLog(LostText(port_name_));
}

void PortRecovery::Tick() {
  if (!recovering_ || clock_.MonotonicMs() < next_try_ms_) return;
  // Someone opened the port meanwhile; it is theirs now.
  if (port_.PortOpen()) {
    Cancel();
    return;
  }
  next_try_ms_ = clock_.MonotonicMs() + kRetryIntervalMs;
  port_.SetPortName(port_name_);
  // OpenPort applies the line settings again and leaves the port closed on any failure.
  if (!port_.OpenPort()) return;
  if (dtr_) port_.SetDTRLine(*dtr_);
  if (rts_) port_.SetRTSLine(*rts_);
  const std::string name = port_name_;
  Cancel();
  reporter_.OperatorLog(ReopenedText(name));
}

void PortRecovery::Cancel() {
  recovering_ = false;
  port_name_.clear();
  dtr_.reset();
  rts_.reset();
}

}  // namespace drv

#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/clock.h"
#include "base/reporting.h"
#include "receiver/serial_port_driver.h"

namespace drv {

// Brings back a serial port whose device went away while open (an adapter pulled, the far
// end of a pty closed). The port is closed at once, so that PortOpen tells the truth, and the
// same port name is opened again every kRetryIntervalMs until it comes back; the operator
// hears of it only through one log line each way. The host's periodic tick drives the
// retries; nothing here waits. Main thread only.
class PortRecovery {
 public:
  static constexpr uint64_t kRetryIntervalMs = 5000;

  PortRecovery(TSerialPortDriver& port, const Clock& clock, Reporter& reporter);

  // The device has gone: close the port and start retrying. Ignored while the port is closed
  // (nothing to lose) or already being recovered.
  void DeviceLost();
  // Retries the open when one is due. Cheap when nothing is being recovered.
  void Tick();
  // Ends the retries without a word: the operator stopped the port or chose another one.
  void Cancel();

  bool Recovering() const { return recovering_; }
  // The port being brought back ("\\.\COM1"); empty when none is.
  const std::string& LostPortName() const { return port_name_; }

  // "COM1" for "\\.\COM1": the name the operator knows the port by.
  static std::string DisplayName(const std::string& port_name);
  static std::string LostText(const std::string& port_name);
  static std::string ReopenedText(const std::string& port_name);

 private:
  TSerialPortDriver& port_;
  const Clock& clock_;
  Reporter& reporter_;
  bool recovering_ = false;
  std::string port_name_;
  uint64_t next_try_ms_ = 0;
  // Modem lines as the owner last set them; a reopen applies the line settings afresh and
  // these on top, so the receiver sees the line as it was before the loss.
  std::optional<bool> dtr_;
  std::optional<bool> rts_;
};

}  // namespace drv

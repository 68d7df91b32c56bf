#pragma once

#include <QSerialPort>
#include <functional>
#include <string>

#include "receiver/serial_device.h"

namespace drv {

// The serial line over QSerialPort. Port names are Windows-style ("\\.\COM3"); the resolver
// turns them into device paths (the host passes ResolveDevicePath over the ComMap).
// Lives on the main thread with the port component.
class QtSerialDevice final : public SerialDevice {
 public:
  using Resolver = std::function<std::string(const std::string& port_name)>;

  explicit QtSerialDevice(Resolver resolver);
  ~QtSerialDevice() override;

  bool Open(const std::string& device_name) override;
  void Close() override;
  bool IsOpen() const override;
  std::optional<size_t> BytesWaiting() override;
  std::optional<size_t> Read(uint8_t* buffer, size_t max) override;
  bool ApplyLineSettings(const LineSettings& settings) override;
  bool Purge(bool input, bool output) override;
  bool SetDTR(bool on) override;
  bool SetRTS(bool on) override;

  // Received bytes have reached the port (from the event loop, or from within BytesWaiting):
  // a hint that a poll would find something.
  std::function<void()> OnDataArrived;
  // The device went away while open (an adapter pulled, a pty's other end closed). The port
  // stays open; its status then reads as unknown.
  std::function<void()> OnDeviceLost;
  std::function<void()> OnReadError;

 private:
  bool SetRawLineOptions(const LineSettings& settings);
  // The device hung up or broke: gone, not merely empty.
  bool DeviceHungUp() const;

  Resolver resolver_;
  QSerialPort port_;
  bool lost_ = false;
  bool setting_modem_line_ = false;  // a failed modem-line ioctl is no lost device
};

}  // namespace drv

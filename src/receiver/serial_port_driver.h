#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "receiver/poll_timer.h"
#include "receiver/serial_device.h"

namespace drv {

enum TPortNumber : uint8_t {
  pnCustom, pnCOM1, pnCOM2, pnCOM3, pnCOM4, pnCOM5, pnCOM6, pnCOM7, pnCOM8, pnCOM9, pnCOM10,
  pnCOM11, pnCOM12, pnCOM13, pnCOM14, pnCOM15, pnCOM16, pnCOM17, pnCOM18, pnCOM19, pnCOM20
};
enum TBaudRate : uint8_t {
  brCustom, br110, br300, br600, br1200, br2400, br4800, br9600, br14400, br19200, br38400,
  br56000, br57600, br115200, br128000, br256000
};
enum TDataBits : uint8_t { db5BITS, db6BITS, db7BITS, db8BITS };
enum TStopBits : uint8_t { sb1BITS, sb1HALFBITS, sb2BITS };
enum TParity : uint8_t { ptNONE, ptODD, ptEVEN, ptMARK, ptSPACE };
enum THwFlowControl : uint8_t { hfNONE, hfNONERTSON, hfRTSCTS, hfRTSTOG };
enum TSwFlowControl : uint8_t { sfNONE, sfXONXOFF };
enum TPacketMode : uint8_t { pmDiscard, pmPass };

// The bit rate a named rate spells; brCustom has none and gives 0.
uint32_t NamedBaudRate(TBaudRate rate);

// The serial port to the alarm receiver: owns the line settings and one receive buffer, and on
// every poll tick hands the waiting bytes to its owner in packets. It only listens; the sole
// outputs towards the receiver are the DTR and RTS lines.
//
// Everything runs on the main thread, except PortOpen(), which the link thread reads too.
class TSerialPortDriver {
 public:
  // Bytes are valid only during the call and always start at the receive buffer.
  using ReceiveEvent = std::function<void(const uint8_t* data, uint32_t size)>;

  static constexpr uint32_t kMinBufSize = 128;
  static constexpr uint32_t kMaxBufSize = 8192;
  static constexpr uint16_t kMinPollingDelay = 5;

  TSerialPortDriver(SerialDevice& device, PollTimer& timer, const Clock& clock);
  ~TSerialPortDriver();
  TSerialPortDriver(const TSerialPortDriver&) = delete;
  TSerialPortDriver& operator=(const TSerialPortDriver&) = delete;

  // Settings. Port, PortName, InBufSize and OutBufSize are ignored while the port is open;
  // a line setting written while open is applied at once (which also drops waiting input).
  TPortNumber Port() const { return port_; }
  void SetPort(TPortNumber port);
  const std::string& PortName() const { return port_name_; }
  void SetPortName(const std::string& name);
  TBaudRate BaudRate() const { return baud_rate_; }
  void SetBaudRate(TBaudRate rate);
  uint32_t BaudRateValue() const { return baud_rate_value_; }
  void SetBaudRateValue(uint32_t bits_per_second);
  TDataBits DataBits() const { return data_bits_; }
  void SetDataBits(TDataBits bits);
  TStopBits StopBits() const { return stop_bits_; }
  void SetStopBits(TStopBits bits);
  TParity Parity() const { return parity_; }
  void SetParity(TParity parity);
  THwFlowControl HwFlow() const { return hw_flow_; }
  void SetHwFlow(THwFlowControl flow);
  TSwFlowControl SwFlow() const { return sw_flow_; }
  void SetSwFlow(TSwFlowControl flow);
  uint32_t InBufSize() const { return in_buf_size_; }
  void SetInBufSize(uint32_t size);
  uint32_t OutBufSize() const { return out_buf_size_; }
  void SetOutBufSize(uint32_t size);
  int16_t PacketSize() const { return packet_size_; }
  void SetPacketSize(int16_t size);
  int32_t PacketTimeout() const { return packet_timeout_; }
  void SetPacketTimeout(int32_t ms);
  TPacketMode PacketMode() const { return packet_mode_; }
  void SetPacketMode(TPacketMode mode) { packet_mode_ = mode; }
  uint16_t PollingDelay() const { return polling_delay_; }
  void SetPollingDelay(uint16_t ms);
  bool EnableDTROnOpen() const { return enable_dtr_on_open_; }
  void SetEnableDTROnOpen(bool enable) { enable_dtr_on_open_ = enable; }

  // Events, read at every tick. Raw delivery is used only while PacketSize is -1.
  ReceiveEvent OnReceivePacket;
  ReceiveEvent OnReceiveData;
  // The device seems gone while open: this many polls in a row could not read its status or
  // its bytes. Raised once per run of failures; the port stays open until the owner acts.
  std::function<void()> OnDeviceLost;
  static constexpr int kFailedPollsForLoss = 3;

  // Opens PortName, applies the line settings and starts polling. True at once when already
  // open. Any failure, an exception from the device included, leaves the port closed.
  bool OpenPort();
  void ClosePort();
  bool PortOpen() const { return open_.load(std::memory_order_relaxed); }
  // Applies the line settings and drops whatever waits in either direction; false while closed.
  bool ApplyLineSettings();
  bool PurgeBuffers(bool input, bool output);
  void SetDTRLine(bool on);
  void SetRTSLine(bool on);

  // The rate a TBaudRate stands for; brCustom gives the current BaudRateValue.
  uint32_t BaudRateToValue(TBaudRate rate) const;
  // Milliseconds that `count` characters take on the line at 10 bits each, rounded half to even.
  int32_t PacketTransferTime(TBaudRate rate, uint32_t count) const;

  // One receive step; the host's poll timer calls it every PollingDelay ms.
  void PollPort();
  // Reads everything still waiting and raises it at once, the partial packet that waits
  // for its time-out included: called before the port is closed, so that bytes that reached
  // the port are never thrown away. A device that has gone gives what it still can.
  void FlushPending();

  // Tick at which the partial packet began to be timed, or -1 while none is.
  int32_t PacketStartTick() const { return packet_start_tick_; }

  // The modem-line levels last asked for since the port was opened; none when the line
  // still stands as the line settings left it.
  std::optional<bool> DTRLineRequest() const { return dtr_request_; }
  std::optional<bool> RTSLineRequest() const { return rts_request_; }

 private:
  void ApplyIfOpen();
  LineSettings BuildLineSettings() const;
  void Deliver(const ReceiveEvent& event, std::optional<size_t> count);
  void NoteFailedPoll();

  SerialDevice& device_;
  PollTimer& timer_;
  const Clock& clock_;

  TPortNumber port_ = pnCOM1;
  std::string port_name_ = "\\\\.\\COM1";
  TBaudRate baud_rate_ = br9600;
  uint32_t baud_rate_value_ = 9600;
  TDataBits data_bits_ = db8BITS;
  TStopBits stop_bits_ = sb1BITS;
  TParity parity_ = ptNONE;
  THwFlowControl hw_flow_ = hfNONERTSON;
  TSwFlowControl sw_flow_ = sfNONE;
  uint32_t in_buf_size_ = 2048;
  uint32_t out_buf_size_ = 2048;
  int16_t packet_size_ = -1;
  int32_t packet_timeout_ = -1;
  TPacketMode packet_mode_ = pmDiscard;
  uint16_t polling_delay_ = 50;
  bool enable_dtr_on_open_ = true;

  std::atomic<bool> open_{false};
  std::vector<uint8_t> receive_buffer_;
  int32_t packet_start_tick_ = -1;
  bool polling_ = false;
  int failed_polls_ = 0;
  std::optional<bool> dtr_request_;
  std::optional<bool> rts_request_;
};

}  // namespace drv

#include "receiver/serial_port_driver.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace drv {

namespace {

constexpr uint32_t kNamedRates[] = {0,     110,   300,   600,    1200,   2400,   4800,  9600,
                                    14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};

// The tick counts wrap modulo 2^32; PacketStartTick is kept as a signed word like the tick.
int32_t WrapAdd(int32_t tick, int32_t ms) {
  return static_cast<int32_t>(static_cast<uint32_t>(tick) + static_cast<uint32_t>(ms));
}

// Marks a pass over the receive buffer as running, for as long as it lasts.
class PassOverBuffer {
 public:
  explicit PassOverBuffer(bool& running) : running_(running) { running_ = true; }
  ~PassOverBuffer() { running_ = false; }
  PassOverBuffer(const PassOverBuffer&) = delete;
  PassOverBuffer& operator=(const PassOverBuffer&) = delete;

 private:
  bool& running_;
};

}  // namespace

uint32_t NamedBaudRate(TBaudRate rate) {
  return rate < std::size(kNamedRates) ? kNamedRates[rate] : 0;
}

TSerialPortDriver::TSerialPortDriver(SerialDevice& device, PollTimer& timer, const Clock& clock)
    : device_(device), timer_(timer), clock_(clock), receive_buffer_(in_buf_size_, 0) {}

TSerialPortDriver::~TSerialPortDriver() { ClosePort(); }

void TSerialPortDriver::SetPort(TPortNumber port) {
  if (PortOpen()) return;
  port_ = port;
  if (port != pnCustom) port_name_ = "\\\\.\\COM" + std::to_string(static_cast<int>(port));
}

void TSerialPortDriver::SetPortName(const std::string& name) {
  if (PortOpen()) return;
  port_ = pnCustom;
  port_name_ = name;
}

void TSerialPortDriver::SetBaudRate(TBaudRate rate) {
  baud_rate_ = rate;
  if (rate != brCustom) baud_rate_value_ = BaudRateToValue(rate);
  ApplyIfOpen();
}

void TSerialPortDriver::SetBaudRateValue(uint32_t bits_per_second) {
  baud_rate_ = brCustom;
  baud_rate_value_ = bits_per_second;
  ApplyIfOpen();
}

void TSerialPortDriver::SetDataBits(TDataBits bits) {
  data_bits_ = bits;
  ApplyIfOpen();
}

void TSerialPortDriver::SetStopBits(TStopBits bits) {
  stop_bits_ = bits;
  ApplyIfOpen();
}

void TSerialPortDriver::SetParity(TParity parity) {
  parity_ = parity;
  ApplyIfOpen();
}

void TSerialPortDriver::SetHwFlow(THwFlowControl flow) {
  hw_flow_ = flow;
  ApplyIfOpen();
}

void TSerialPortDriver::SetSwFlow(TSwFlowControl flow) {
  sw_flow_ = flow;
  ApplyIfOpen();
}

void TSerialPortDriver::SetInBufSize(uint32_t size) {
  if (PortOpen()) return;
  size = std::clamp(size, kMinBufSize, kMaxBufSize);
  // A packet must fit the buffer: a buffer smaller than the packet grows back to the packet
  // (up to the limit), and a packet larger than the largest buffer is cut to it.
  if (packet_size_ > 0) {
    const auto packet = static_cast<uint32_t>(packet_size_);
    if (packet > size) size = std::min(packet, kMaxBufSize);
    if (packet > size) packet_size_ = static_cast<int16_t>(size);
  }
  in_buf_size_ = size;
  std::vector<uint8_t>(size, 0).swap(receive_buffer_);
}

void TSerialPortDriver::SetOutBufSize(uint32_t size) {
  if (PortOpen()) return;
  out_buf_size_ = std::clamp(size, kMinBufSize, kMaxBufSize);
}

void TSerialPortDriver::SetPacketSize(int16_t size) {
  if (size <= 0) {
    packet_size_ = -1;
    return;
  }
  packet_size_ = size;
  const auto wanted = static_cast<uint32_t>(size);
  if (wanted > in_buf_size_) SetInBufSize(wanted);
  if (in_buf_size_ < wanted) packet_size_ = static_cast<int16_t>(in_buf_size_);
}

void TSerialPortDriver::SetPacketTimeout(int32_t ms) { packet_timeout_ = ms < 1 ? -1 : ms; }

void TSerialPortDriver::SetPollingDelay(uint16_t ms) {
  ms = std::max(ms, kMinPollingDelay);
  if (ms == polling_delay_) return;
  const bool open = PortOpen();
  if (open) timer_.Stop();
  polling_delay_ = ms;
  if (open) timer_.Start(polling_delay_);
}

bool TSerialPortDriver::OpenPort() {
  if (PortOpen()) return true;
  try {
    if (!device_.Open(port_name_)) return false;
  } catch (...) {
    return false;
  }
  open_ = true;
  failed_polls_ = 0;
  dtr_request_.reset();
  rts_request_.reset();
  bool applied = false;
  try {
    applied = ApplyLineSettings();
    if (applied) timer_.Start(polling_delay_);
  } catch (...) {
    applied = false;
  }
  if (!applied) {
    try {
      ClosePort();
    } catch (...) {
      open_ = false;
    }
    return false;
  }
  return true;
}

void TSerialPortDriver::ClosePort() {
  if (!PortOpen()) return;
  timer_.Stop();
  // The flag drops first so that no path ever sees an open port over a closed device.
  open_ = false;
  device_.Close();
}

LineSettings TSerialPortDriver::BuildLineSettings() const {
  LineSettings s;
  s.baud_rate = baud_rate_value_;
  s.data_bits = static_cast<uint8_t>(data_bits_ + 5);
  s.parity = static_cast<LineParity>(parity_);
  s.stop_bits = static_cast<LineStopBits>(stop_bits_);
  s.dtr = enable_dtr_on_open_;
  switch (hw_flow_) {
    case hfNONE: s.rts = RtsControl::Low; break;
    case hfNONERTSON: s.rts = RtsControl::High; break;
    case hfRTSCTS: s.rts = RtsControl::Handshake; break;
    case hfRTSTOG: s.rts = RtsControl::Toggle; break;
  }
  s.cts_flow = hw_flow_ == hfRTSCTS;
  s.xon_xoff = sw_flow_ == sfXONXOFF;
  s.xon_char = 0x11;
  s.xoff_char = 0x13;
  s.xon_limit = in_buf_size_ / 4;
  s.xoff_limit = in_buf_size_ / 4;
  s.in_queue_size = in_buf_size_;
  s.out_queue_size = out_buf_size_;
  return s;
}

bool TSerialPortDriver::ApplyLineSettings() {
  if (!PortOpen()) return false;
  if (!device_.ApplyLineSettings(BuildLineSettings())) return false;
  return PurgeBuffers(true, true);
}

void TSerialPortDriver::ApplyIfOpen() {
  if (PortOpen()) ApplyLineSettings();
}

bool TSerialPortDriver::PurgeBuffers(bool input, bool output) {
  if (!PortOpen()) return false;
  if (!device_.Purge(input, output)) return false;
  packet_start_tick_ = -1;
  return true;
}

void TSerialPortDriver::SetDTRLine(bool on) {
  if (!PortOpen()) return;
  dtr_request_ = on;
  device_.SetDTR(on);
}

void TSerialPortDriver::SetRTSLine(bool on) {
  if (!PortOpen()) return;
  rts_request_ = on;
  device_.SetRTS(on);
}

uint32_t TSerialPortDriver::BaudRateToValue(TBaudRate rate) const {
  return rate == brCustom ? baud_rate_value_ : NamedBaudRate(rate);
}

int32_t TSerialPortDriver::PacketTransferTime(TBaudRate rate, uint32_t count) const {
  const uint32_t bits_per_second = BaudRateToValue(rate);
  // A line that carries nothing never finishes; saturate rather than divide by zero.
  if (bits_per_second == 0) return std::numeric_limits<int32_t>::max();
  const double ms = static_cast<double>(count) / (static_cast<double>(bits_per_second) / 10.0) * 1000.0;
  // nearbyint rounds half to even under the default rounding mode.
  const double rounded = std::nearbyint(ms);
  if (rounded >= static_cast<double>(std::numeric_limits<int32_t>::max())) {
    return std::numeric_limits<int32_t>::max();
  }
  return static_cast<int32_t>(rounded);
}

void TSerialPortDriver::Deliver(const ReceiveEvent& event, std::optional<size_t> count) {
  if (!count || *count == 0 || !event) return;
  const size_t size = std::min(*count, receive_buffer_.size());
  event(receive_buffer_.data(), static_cast<uint32_t>(size));
}

void TSerialPortDriver::NoteFailedPoll() {
  // A single failed read is no loss: its bytes are found again by the next tick. Only a run
  // of failures says the device has gone, and the owner hears of it once per run.
  if (++failed_polls_ != kFailedPollsForLoss || !OnDeviceLost) return;
  // Every caller is done with the buffer here, so the owner may flush what the device still
  // gives before it closes the port.
  polling_ = false;
  OnDeviceLost();
}

void TSerialPortDriver::FlushPending() {
  if (polling_ || !PortOpen()) return;
  const PassOverBuffer pass(polling_);

  const bool packets = packet_size_ > 0;
  const ReceiveEvent& event = packets ? OnReceivePacket : OnReceiveData;
  const size_t chunk = std::min<size_t>(packets ? static_cast<size_t>(packet_size_) : in_buf_size_,
                                        receive_buffer_.size());
  // Bounded: a line that keeps talking must not hold the close forever.
  constexpr int kMaxChunks = 64;
  for (int i = 0; i < kMaxChunks && PortOpen(); ++i) {
    const std::optional<size_t> waiting = device_.BytesWaiting();
    if (waiting && *waiting == 0) break;
    const size_t want = waiting ? std::min(*waiting, chunk) : chunk;
    std::optional<size_t> read;
    try {
      read = device_.Read(receive_buffer_.data(), want);
    } catch (...) {
      break;
    }
    if (!read || *read == 0) break;
    // A partial packet goes on as it would at its time-out; a whole one always does.
    if (!packets || packet_mode_ == pmPass || *read == chunk) Deliver(event, read);
    // Without a count, read on while the device fills whole chunks.
    if (!waiting && *read < want) break;
  }
  packet_start_tick_ = -1;
}

void TSerialPortDriver::PollPort() {
  // A handler that runs a nested event loop (a modal dialog) lets the timer fire again while
  // it still reads the buffer; the bytes then wait for the next tick instead of overwriting it.
  if (polling_ || !PortOpen()) return;
  const PassOverBuffer pass(polling_);

  const std::optional<size_t> waiting = device_.BytesWaiting();
  if (!waiting) {
    NoteFailedPoll();
    return;
  }
  size_t n = *waiting;
  uint8_t* const buffer = receive_buffer_.data();

  if (packet_size_ < 0) {
    if (n > 0) {
      const size_t want = std::min<size_t>(n, in_buf_size_);
      const std::optional<size_t> read = device_.Read(buffer, want);
      if (!read) {
        NoteFailedPoll();
        return;
      }
      failed_polls_ = 0;
      Deliver(OnReceiveData, read);
      return;
    }
    failed_polls_ = 0;
    return;
  }

  const auto packet = static_cast<size_t>(packet_size_);
  if (n >= packet) {
    // Bytes that arrive during the loop wait for the next tick.
    const int32_t transfer = PacketTransferTime(baud_rate_, packet);
    bool read_failed = false;
    do {
      const std::optional<size_t> read = device_.Read(buffer, packet);
      read_failed = read_failed || !read;
      Deliver(OnReceivePacket, read);
      if (!PortOpen()) return;  // the handler closed the port
      // Estimated start of the remainder: one packet's line time later per packet taken.
      packet_start_tick_ = WrapAdd(packet_start_tick_, transfer);
      n -= packet;
      if (n == 0) packet_start_tick_ = -1;
    } while (n >= packet);
    if (read_failed) {
      NoteFailedPoll();
    } else {
      failed_polls_ = 0;
    }
    return;
  }

  const uint32_t now = clock_.TickMs();
  if (packet_timeout_ > 0 && packet_start_tick_ != -1 &&
      now - static_cast<uint32_t>(packet_start_tick_) > static_cast<uint32_t>(packet_timeout_)) {
    const std::optional<size_t> read = device_.Read(buffer, n);
    if (packet_mode_ == pmPass) Deliver(OnReceivePacket, read);
    packet_start_tick_ = -1;
    if (!read) {
      NoteFailedPoll();
    } else {
      failed_polls_ = 0;
    }
    return;
  }
  failed_polls_ = 0;
  if (n > 0 && packet_start_tick_ == -1) packet_start_tick_ = static_cast<int32_t>(now);
}

}  // namespace drv

#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace drv {

enum class LineParity : uint8_t { None, Odd, Even, Mark, Space };
enum class LineStopBits : uint8_t { One, OneAndHalf, Two };
// What the RTS line does: held low, held high, driven by the receive handshake, or raised
// only while transmitting.
enum class RtsControl : uint8_t { Low, High, Handshake, Toggle };

// The complete line state the port component asks of a device in one call.
struct LineSettings {
  uint32_t baud_rate = 9600;  // bit/s
  uint8_t data_bits = 8;      // 5..8
  // The parity the line carries. Received parity is never checked: bytes are delivered as they
  // come, whatever their parity.
  LineParity parity = LineParity::None;
  LineStopBits stop_bits = LineStopBits::One;
  bool dtr = true;
  RtsControl rts = RtsControl::High;
  bool cts_flow = false;  // output held while CTS is low
  bool xon_xoff = false;  // in both directions
  uint8_t xon_char = 0x11;
  uint8_t xoff_char = 0x13;
  uint32_t xon_limit = 512;
  uint32_t xoff_limit = 512;
  uint32_t in_queue_size = 2048;   // a request; the device may keep its own size
  uint32_t out_queue_size = 2048;  // a request; the device may keep its own size
};

// One serial line as the port component uses it: receive only, never blocking.
class SerialDevice {
 public:
  virtual ~SerialDevice() = default;
  // Opens the named port for this program alone; false when it is missing or held elsewhere.
  virtual bool Open(const std::string& device_name) = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
  // How many received bytes can be read at once without waiting; nullopt when the status
  // cannot be read (closed, or the device has gone).
  virtual std::optional<size_t> BytesWaiting() = 0;
  // Reads up to `max` bytes that are already waiting; never waits. nullopt on failure.
  virtual std::optional<size_t> Read(uint8_t* buffer, size_t max) = 0;
  virtual bool ApplyLineSettings(const LineSettings& settings) = 0;
  // Drops what waits in the chosen directions.
  virtual bool Purge(bool input, bool output) = 0;
  virtual bool SetDTR(bool on) = 0;
  virtual bool SetRTS(bool on) = 0;
};

}  // namespace drv

#include "platform/qt_serial_device.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <utility>

namespace drv {

namespace {

QSerialPort::Parity ToQt(LineParity parity) {
  switch (parity) {
    case LineParity::Odd: return QSerialPort::OddParity;
    case LineParity::Even: return QSerialPort::EvenParity;
    case LineParity::Mark: return QSerialPort::MarkParity;
    case LineParity::Space: return QSerialPort::SpaceParity;
    case LineParity::None: break;
  }
  return QSerialPort::NoParity;
}

}  // namespace

QtSerialDevice::QtSerialDevice(Resolver resolver) : resolver_(std::move(resolver)) {
  QObject::connect(&port_, &QSerialPort::readyRead, &port_, [this] {
    if (OnDataArrived) OnDataArrived();
  });
  QObject::connect(&port_, &QSerialPort::errorOccurred, &port_, [this](QSerialPort::SerialPortError error) {
    // A failing read leaves the device's own notifier firing; whoever polls must look now.
    if (error == QSerialPort::ReadError && port_.isOpen() && OnReadError) OnReadError();
    if (error != QSerialPort::ResourceError || !port_.isOpen() || lost_ || setting_modem_line_) return;
    if (!DeviceHungUp()) {
      // The port's read notifier may fire for bytes a poll has already taken with its own
      // read; that read then finds nothing (EAGAIN), which the port calls a resource error
      // and answers by switching its notifier off. The device is still there: the notifier is
      // switched on again, and whoever polls is told to look now.
      port_.clearError();
      port_.setReadBufferSize(0);  // also switches the read notifier back on
      if (OnReadError) OnReadError();
      return;
    }
    lost_ = true;
    if (OnDeviceLost) OnDeviceLost();
  });
}

bool QtSerialDevice::DeviceHungUp() const {
  pollfd p{static_cast<int>(port_.handle()), POLLIN, 0};
  if (::poll(&p, 1, 0) < 0) return errno != EINTR;
  return (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

QtSerialDevice::~QtSerialDevice() {
  QObject::disconnect(&port_, nullptr, nullptr, nullptr);
  port_.close();
}

bool QtSerialDevice::Open(const std::string& device_name) {
  if (port_.isOpen()) return false;
  const std::string path = resolver_ ? resolver_(device_name) : device_name;
  if (path.empty()) return false;
  port_.setPortName(QString::fromStdString(path));
  lost_ = false;
  // QSerialPort takes the port's lock file before it opens the device; a second open, in this
  // process or another, finds the lock held and fails. TIOCEXCL alone would not stop root.
  if (!port_.open(QIODevice::ReadWrite)) {
    port_.clearError();
    return false;
  }
  // The whole received stream is kept in QSerialPort's buffer; a bounded buffer would leave the
  // rest in the kernel, where BytesWaiting could not count it.
  port_.setReadBufferSize(0);
  return true;
}

void QtSerialDevice::Close() {
  port_.close();
  port_.clearError();
  lost_ = false;
}

bool QtSerialDevice::IsOpen() const { return port_.isOpen(); }

// What waits is QSerialPort's own buffer plus the kernel's tty queue. The event loop moves
// bytes from the kernel into the buffer only when it runs; so that the count is exact with or
// without a running loop, the kernel's queue is first pulled into the buffer here (a zero-wait
// read, done only when FIONREAD says bytes are there, so it never waits and never times out),
// and the buffer alone is then counted. Read takes from that buffer only.
std::optional<size_t> QtSerialDevice::BytesWaiting() {
  if (!port_.isOpen() || lost_) return std::nullopt;
  for (int pass = 0; pass < 4; ++pass) {
    int queued = 0;
    if (::ioctl(port_.handle(), FIONREAD, &queued) == -1) return std::nullopt;
    if (queued <= 0 || !port_.waitForReadyRead(0)) break;
    if (lost_) return std::nullopt;
  }
  const qint64 available = port_.bytesAvailable();
  return available < 0 ? 0 : static_cast<size_t>(available);
}

std::optional<size_t> QtSerialDevice::Read(uint8_t* buffer, size_t max) {
  if (!port_.isOpen()) return std::nullopt;
  // A device that has gone may still have bytes in the port's buffer: those are the receiver's
  // last lines, read before the port is closed.
  if (lost_ && port_.bytesAvailable() <= 0) return std::nullopt;
  const qint64 read = port_.read(reinterpret_cast<char*>(buffer), static_cast<qint64>(max));
  if (read < 0) return std::nullopt;
  return static_cast<size_t>(read);
}

bool QtSerialDevice::ApplyLineSettings(const LineSettings& settings) {
  if (!port_.isOpen()) return false;
  bool ok = port_.setBaudRate(static_cast<qint32>(settings.baud_rate));
  ok = settings.data_bits >= 5 && settings.data_bits <= 8 &&
       port_.setDataBits(static_cast<QSerialPort::DataBits>(settings.data_bits)) && ok;
  ok = port_.setParity(ToQt(settings.parity)) && ok;
  switch (settings.stop_bits) {
    case LineStopBits::One: ok = port_.setStopBits(QSerialPort::OneStop) && ok; break;
    case LineStopBits::Two: ok = port_.setStopBits(QSerialPort::TwoStop) && ok; break;
    case LineStopBits::OneAndHalf:
      // A UART sends one and a half stop bits for 5-bit characters when asked for two; with
      // longer characters the combination does not exist and the line is refused.
      ok = settings.data_bits == 5 && port_.setStopBits(QSerialPort::TwoStop) && ok;
      break;
  }
  const QSerialPort::FlowControl flow = settings.cts_flow   ? QSerialPort::HardwareControl
                                        : settings.xon_xoff ? QSerialPort::SoftwareControl
                                                            : QSerialPort::NoFlowControl;
  ok = port_.setFlowControl(flow) && ok;
  ok = SetRawLineOptions(settings) && ok;
  // The queue sizes are requests the tty layer has no equivalent for: it keeps its own queue,
  // and QSerialPort's buffer is unbounded. The XON/XOFF limits likewise stay the kernel's.
  SetDTR(settings.dtr);
  // Without a per-byte send there is no RTS toggling to do: the line only listens, so a toggle
  // request leaves RTS raised.
  if (settings.rts != RtsControl::Handshake) SetRTS(settings.rts != RtsControl::Low);
  port_.clearError();
  return ok;
}

bool QtSerialDevice::SetRawLineOptions(const LineSettings& settings) {
  termios options{};
  if (::tcgetattr(port_.handle(), &options) == -1) return false;
  // Received bytes are never checked for parity and never marked: they arrive as sent.
  options.c_iflag &= ~static_cast<tcflag_t>(INPCK | PARMRK | IGNPAR);
  if (settings.xon_xoff) options.c_iflag |= IXON | IXOFF;
  options.c_cc[VSTART] = static_cast<cc_t>(settings.xon_char);
  options.c_cc[VSTOP] = static_cast<cc_t>(settings.xoff_char);
  return ::tcsetattr(port_.handle(), TCSANOW, &options) == 0;
}

bool QtSerialDevice::Purge(bool input, bool output) {
  if (!port_.isOpen()) return false;
  if (!input && !output) return true;
  const QSerialPort::Directions directions = input && output ? QSerialPort::AllDirections
                                             : input         ? QSerialPort::Input
                                                             : QSerialPort::Output;
  return port_.clear(directions);
}

// A pseudo-terminal has no modem lines: setting them fails there, which must not fail
// anything else, so the error is cleared at once.
bool QtSerialDevice::SetDTR(bool on) {
  if (!port_.isOpen()) return false;
  setting_modem_line_ = true;
  const bool ok = port_.setDataTerminalReady(on);
  setting_modem_line_ = false;
  if (!ok) port_.clearError();
  return ok;
}

bool QtSerialDevice::SetRTS(bool on) {
  if (!port_.isOpen()) return false;
  setting_modem_line_ = true;
  const bool ok = port_.setRequestToSend(on);
  setting_modem_line_ = false;
  if (!ok) port_.clearError();
  return ok;
}

}  // namespace drv

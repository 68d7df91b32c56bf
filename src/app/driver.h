#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/reporting.h"
#include "base/settings.h"
#include "receiver/line_protocol.h"
#include "receiver/port_recovery.h"
#include "receiver/poll_timer.h"
#include "receiver/serial_device.h"
#include "receiver/serial_port_driver.h"
#include "receiver/supervision.h"
#include "serverlink/link_observer.h"
#include "serverlink/link_spool.h"
#include "serverlink/server_link.h"
#include "serverlink/tcp_connection.h"
#include "spool/handoff.h"
#include "spool/replay.h"
#include "spool/spool_files.h"
#include "spool/spool_keeper.h"

namespace drv {

inline constexpr const char kRunCaptionStop[] = "Остановить";
inline constexpr const char kRunCaptionStart[] = "Запустить";
// How long a stop may spend writing held records to the spool, from the stop request.
inline constexpr uint64_t kStopSpoolBoundMs = 5000;

// Everything the driver needs from its host. Paths are relative to the working folder
// unless the host gives them absolute.
struct DriverDeps {
  const Clock& clock;
  SerialDevice& serial_device;
  PollTimer& poll_timer;
  Reporter& reporter;
  // Runs on the link thread; the host hands each call over to its main thread.
  LinkObserver& link_observer;
  std::function<std::unique_ptr<TcpConnection>()> make_connection;
  // The pause between dropping and raising DTR at start-up; tests pass a recorder.
  std::function<void(int ms)> sleep_ms;
  std::string work_dir = ".";
  std::string version_text = kFileVersion;
};

// The driver's state and start-up, the non-visual half of the main window: settings,
// serial port, line protocol, spool, hand-off, replay, station supervision and server link.
// Everything except the server link's own thread runs on the host's main thread.
class Driver final : private LinkSpool {
 public:
  struct StartState {
    bool port_tried = false;  // ComPort was not the no-port marker
    bool port_open = false;
  };

  explicit Driver(DriverDeps deps);
  ~Driver() override;
  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;

  // The start-up sequence: configuration, close password, serial port with the DTR/RTS
  // pulse, server link. Problems are reported and start-up always runs to its end.
  StartState Start();

  // The 200 ms tick: replay first, then the elapsed-time display and supervision.
  void Timer2Tick();
  // The hidden "Тест" button: one sample line through the line protocol.
  void InjectTestLine();
  // The closing steps: what reached the port goes through the line protocol, the port
  // closes, the server link is told to stop, and the records still waiting in its queue are
  // written to the spool at once.
  void RequestStop();
  // True once the server link's loop has ended (or when there is none); it has then
  // spooled whatever it had not delivered, and what the spool held in memory is written as
  // far as the spool takes it within the stop's bound.
  bool WaitLinkStopped(int timeout_ms);

  const Settings& settings() const { return settings_; }
  const std::string& ClosePassword() const { return close_password_; }
  DateTime StartTime() const { return start_time_; }
  std::string IniPath() const;
  // A file name in the working folder (absolute names stay as they are).
  std::string PathIn(const std::string& name) const;

  bool StationLinkOk() const;
  int32_t StationTick() const;
  std::string ElapsedText() const;

  bool HasServerLink() const { return link_ != nullptr; }
  bool ServerConnected() const { return link_ != nullptr && link_->ServerConnected(); }
  int32_t ServerTick() const { return server_tick_; }
  // The link's state as of its last indicator tick: what the server indicator shows.
  bool ServerIndicatorConnected() const { return server_indicator_connected_; }
  // Called on the main thread for every indicator tick of the server link, with the state
  // the link saw when it ticked.
  void ServerIndicatorTicked(bool connected);

  TSerialPortDriver& SerialPortDriver1() { return serial_; }
  // Brings the port back after its device went away; the port controls end it.
  PortRecovery& port_recovery() { return recovery_; }
  // The host's notice that the serial device has gone (the poll notices it too).
  void PortDeviceLost();
  ServerLink* link() { return link_.get(); }
  const ServerLink* link() const { return link_.get(); }
  SpoolReplay* replay() { return replay_.get(); }
  SpoolKeeper* keeper() { return keeper_.get(); }
  const SpoolKeeper* keeper() const { return keeper_.get(); }
  LineProtocol* line_protocol() { return line_.get(); }

  // Called on the main thread whenever the station indicator must be redrawn.
  std::function<void()> OnStationIndicatorChanged;

 private:
  // LinkSpool, called on the link thread.
  void SpoolUndelivered(uint32_t type, std::span<const uint8_t> payload) override;
  void SpoolAcknowledged(const std::string& path) override;
  void ReplayAnswered(const std::string& path) override;
  void ReplayInterrupted(const std::string& path) override;
  void ReleaseReplayWait() override;
  void StationIndicatorChanged();
  void OpenConfiguredPort(StartState& state);

  DriverDeps deps_;
  Settings settings_;
  std::string close_password_;
  DateTime start_time_ = 0;
  int32_t server_tick_ = 0;
  bool server_indicator_connected_ = false;

  TSerialPortDriver serial_;
  PortRecovery recovery_;
  std::unique_ptr<LineProtocol> line_;
  std::unique_ptr<SpoolFolder> spool_;
  std::unique_ptr<SpoolKeeper> keeper_;
  uint64_t stop_deadline_ms_ = 0;
  bool held_flushed_ = false;
  std::unique_ptr<ServerLink> link_;
  std::unique_ptr<HandOff> hand_off_;
  std::unique_ptr<SpoolReplay> replay_;
  std::unique_ptr<StationSupervision> supervision_;
};

// A five-digit close password drawn uniformly from 10000..99998.
std::string DrawClosePassword();

}  // namespace drv

#include "app/driver.h"

#include <random>

#include "base/error_list.h"
#include "base/guarded.h"
#include "receiver/line_settings.h"
#include "wire/message_types.h"

namespace drv {

std::string DrawClosePassword() {
  std::random_device entropy;
  std::seed_seq seed{entropy(), entropy(), entropy(), entropy()};
  std::mt19937 generator(seed);
  std::uniform_int_distribution<int> digits(10000, 99998);
  return std::to_string(digits(generator));
}

Driver::Driver(DriverDeps deps)
    : deps_(std::move(deps)),
      serial_(deps_.serial_device, deps_.poll_timer, deps_.clock),
      recovery_(serial_, deps_.clock, deps_.reporter) {
  // The main window's settings of the port component, before the configuration applies.
  serial_.SetPort(pnCustom);
  serial_.SetPacketSize(256);
  serial_.SetPacketTimeout(200);
  serial_.SetPacketMode(pmPass);
  serial_.SetPollingDelay(5);
  serial_.OnDeviceLost = [this] { PortDeviceLost(); };
}

Driver::~Driver() {
  // The link thread calls back into this object: it must be gone before the rest.
  if (link_) {
    link_->RequestStop();
    link_.reset();
  }
  serial_.ClosePort();
}

std::string Driver::PathIn(const std::string& name) const {
  if ((!name.empty() && name.front() == '/') || deps_.work_dir.empty() || deps_.work_dir == ".") return name;
  return deps_.work_dir + "/" + name;
}

std::string Driver::IniPath() const { return PathIn(kIniFileName); }

Driver::StartState Driver::Start() {
  StartState state;
  line_ = std::make_unique<LineProtocol>(
      deps_.clock, settings_, deps_.reporter, PathIn(kHexLogFileName),
      [this](const TEventRecord& record) { hand_off_->HandOffEvent(record); },
      [this] { StationIndicatorChanged(); });
  close_password_ = DrawClosePassword();

  std::vector<std::string> problems;
  settings_ = LoadSettings(IniPath(), &problems);
  for (const std::string& problem : problems) deps_.reporter.ReportException("start-up", problem);
  ApplyConfiguredLineSettings(serial_, settings_);

  const auto write_error_code = [this](int32_t code) { WriteErrorCode(code, PathIn(kErrorListFileName)); };
  // The spool prefix is used as it stands; an empty one means the working folder.
  const std::string spool_prefix = settings_.PathForSoob.empty() ? PathIn("") : PathIn(settings_.PathForSoob);
  spool_ = std::make_unique<SpoolFolder>(deps_.clock, spool_prefix, deps_.reporter, write_error_code);
  keeper_ = std::make_unique<SpoolKeeper>(deps_.clock, deps_.reporter, *spool_);
  serial_.OnReceivePacket = [this](const uint8_t* data, uint32_t size) {
    // A packet may carry many lines: their spool files share one round of disk syncs.
    const SpoolFolder::Batch batch(*spool_);
    line_->SerialPortDriver1ReceivePacket(data, size);
  };

  OpenConfiguredPort(state);

  if (settings_.SendK8) {
    link_ = std::make_unique<ServerLink>(ServerLinkConfig{
        .clock = deps_.clock,
        .make_connection = deps_.make_connection,
        .read_server_host = [ini = IniPath()] { return LoadServerHost(ini); },
        .com_port = settings_.ComPort,
        .first_number = settings_.FirstNumber,
        .port_open = [this] { return serial_.PortOpen(); },
        .observer = deps_.link_observer,
        .spool = *this,
        .version_text = deps_.version_text,
        .reporter = &deps_.reporter,
    });
  }
  hand_off_ = std::make_unique<HandOff>(link_.get(), *keeper_, settings_);
  replay_ = std::make_unique<SpoolReplay>(deps_.clock, *spool_, link_.get(), settings_.SendK8);
  supervision_ = std::make_unique<StationSupervision>(
      deps_.clock, settings_, *line_, deps_.reporter,
      [this](uint32_t type, std::span<const uint8_t> payload) { hand_off_->SendOrSpool(type, payload); },
      [this] { StationIndicatorChanged(); }, write_error_code);
  if (link_) link_->Start();

  start_time_ = deps_.clock.Now();
  return state;
}

void Driver::OpenConfiguredPort(StartState& state) {
  if (settings_.ComPort == kNoPortMarker) return;
  state.port_tried = true;
  serial_.SetPortName("\\\\.\\" + settings_.ComPort);
  bool opened = false;
  RunGuarded(deps_.reporter, "OpenPort", [&] { opened = serial_.OpenPort(); });
  if (!opened) return;
  // The receiver takes a DTR pulse as the sign that its listener has (re)started.
  serial_.SetDTRLine(false);
  serial_.SetRTSLine(false);
  if (deps_.sleep_ms) deps_.sleep_ms(300);
  serial_.SetDTRLine(true);
  state.port_open = true;
}

void Driver::PortDeviceLost() { recovery_.DeviceLost(); }

void Driver::Timer2Tick() {
  // A lost port is retried on this tick too: it needs no timer of its own.
  RunGuarded(deps_.reporter, "port recovery", [this] { recovery_.Tick(); });
  if (keeper_) RunGuarded(deps_.reporter, "spool hold", [this] { keeper_->RetryHeld(); });
  if (!replay_) return;
  // A failed replay ends the tick; display and supervision run again on the next one.
  if (!RunGuarded(deps_.reporter, "spool replay", [this] { replay_->Step(); })) return;
  RunGuarded(deps_.reporter, "station supervision", [this] { supervision_->Step(); });
}

void Driver::InjectTestLine() {
  if (line_) line_->InjectTestLine();
}

void Driver::RequestStop() {
  // The bound for writing held records counts from the stop request.
  if (stop_deadline_ms_ == 0 && keeper_ && keeper_->HeldCount() > 0) {
    stop_deadline_ms_ = deps_.clock.MonotonicMs() + kStopSpoolBoundMs;
  }
  recovery_.Cancel();
  if (line_) RunGuarded(deps_.reporter, "FlushPending", [this] { serial_.FlushPending(); });
  if (serial_.PortOpen()) serial_.ClosePort();
  if (!link_) return;
  link_->RequestStop();
  // Only the message on the wire is left to the link thread, however long it still takes.
  link_->SpoolWaiting();
}

bool Driver::WaitLinkStopped(int timeout_ms) {
  if (link_ && !link_->WaitStopped(timeout_ms)) return false;
  if (keeper_ && !held_flushed_ && keeper_->HeldCount() > 0) {
    held_flushed_ = true;
    keeper_->FlushAtStop(stop_deadline_ms_ != 0 ? stop_deadline_ms_ : deps_.clock.MonotonicMs() + kStopSpoolBoundMs);
  }
  return true;
}

bool Driver::StationLinkOk() const { return supervision_ == nullptr || supervision_->StationLinkOk(); }
int32_t Driver::StationTick() const { return line_ ? line_->StationTick() : 0; }
std::string Driver::ElapsedText() const {
  return supervision_ ? supervision_->ElapsedText() : std::string(StationSupervision::kInitialElapsedText);
}

void Driver::ServerIndicatorTicked(bool connected) {
  if (++server_tick_ > 16) server_tick_ = 0;
  server_indicator_connected_ = connected;
}

void Driver::StationIndicatorChanged() {
  if (OnStationIndicatorChanged) OnStationIndicatorChanged();
}

void Driver::SpoolUndelivered(uint32_t type, std::span<const uint8_t> payload) {
  if (hand_off_) hand_off_->SpoolRecord(type, payload);
}

void Driver::SpoolAcknowledged(const std::string& path) {
  if (replay_) replay_->SpoolAcknowledged(path);
}

void Driver::ReplayAnswered(const std::string& path) {
  if (replay_) replay_->ReplayAnswered(path);
}

void Driver::ReplayInterrupted(const std::string& path) {
  if (replay_) replay_->ReplayInterrupted(path);
}

void Driver::ReleaseReplayWait() {
  if (replay_) replay_->ReleaseReplayWait();
}

}  // namespace drv

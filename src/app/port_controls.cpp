#include "app/port_controls.h"

#include "base/error_list.h"
#include "base/guarded.h"
#include "wire/greeting.h"
#include "wire/message_types.h"

namespace drv {
namespace {
constexpr const char kDevicePrefix[] = "\\\\.\\";
constexpr std::size_t kDevicePrefixLength = 4;
}  // namespace

PortControls::PortControls(Driver& driver, PortControlsView& view, Reporter& reporter)
    : driver_(driver), view_(view), reporter_(reporter) {}

void PortControls::ShowStartState(const Driver::StartState& state) {
  view_.SetPortList({});
  if (state.port_tried) view_.SetPortListText(driver_.settings().ComPort);
  view_.SetRunCaption(state.port_open ? kRunCaptionStop : kRunCaptionStart);
  view_.SetPortControlsEnabled(!state.port_open);
  if (!state.port_open) view_.SelectFirstPortEntry();
}

bool PortControls::TryOpen() {
  bool opened = false;
  RunGuarded(reporter_, "OpenPort", [&] { opened = driver_.SerialPortDriver1().OpenPort(); });
  return opened;
}

void PortControls::AdvGlowButton1Click() {
  TSerialPortDriver& port = driver_.SerialPortDriver1();
  std::vector<std::string> found;
  for (int n = 1; n <= kHighestScannedPort; ++n) {
    port.SetPortName(kDevicePrefix + std::string("COM") + std::to_string(n));
    if (TryOpen()) {
      port.ClosePort();
      found.push_back("COM" + std::to_string(n));
    }
  }
  view_.SetPortList(found);
  if (port.PortOpen()) {
    view_.SetPortListText(port.PortName().substr(kDevicePrefixLength));
  } else {
    view_.SelectFirstPortEntry();
  }
  AdvOfficeComboBox1Select();
}

void PortControls::AdvGlowButton2Click() {
  TSerialPortDriver& port = driver_.SerialPortDriver1();
  if (view_.RunCaption() == kRunCaptionStop) {
    if (view_.AskPassword() == PortControlsView::kPasswordOk) {
      // A stopped port is not brought back behind the operator's back.
      driver_.port_recovery().Cancel();
      port.FlushPending();
      if (port.PortOpen()) port.ClosePort();
      view_.SetRunCaption(kRunCaptionStart);
      view_.SetPortControlsEnabled(true);
    } else {
      view_.ShowMessage(kStopRefusedText);
    }
  } else {
    // The operator's choice replaces any port still being brought back.
    driver_.port_recovery().Cancel();
    port.SetPortName(kDevicePrefix + view_.PortListText());
    if (!TryOpen()) {
      view_.ShowMessage(kPortBusyText);
      AdvGlowButton1Click();
    } else {
      port.SetDTRLine(true);
      view_.SetRunCaption(kRunCaptionStop);
      port.SetDTRLine(driver_.settings().DTR);
      view_.SetPortControlsEnabled(false);
    }
  }
  QueuePortState();
}

void PortControls::QueuePortState() {
  ServerLink* link = driver_.link();
  if (link == nullptr) return;
  const auto record = PortStateRecord(driver_.settings().ComPort, driver_.SerialPortDriver1().PortOpen());
  link->EnqueueMessage(mtPortStateChanged, record);
}

void PortControls::AdvOfficeComboBox1Select() {
  if (view_.RunCaption() != kRunCaptionStart) return;
  try {
    SaveComPort(driver_.IniPath(), view_.PortListText());
  } catch (const std::exception&) {
    RunGuarded(reporter_, "AdvOfficeComboBox1Select", [&] { WriteErrorCode(19, driver_.PathIn(kErrorListFileName)); });
  }
}

}  // namespace drv

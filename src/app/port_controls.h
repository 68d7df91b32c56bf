#pragma once

#include <string>
#include <vector>

#include "app/driver.h"

namespace drv {

inline constexpr const char kPortBusyText[] = "Порт уже занят!";
inline constexpr const char kStopRefusedText[] = "Неправильный пароль. В доступе отказано";

// The port group of the settings page as the port controls see it. Captions and messages
// are UTF-8; port names (the list's entries and its text) are Windows-1251 bytes, as the
// configuration file and the port name hold them.
class PortControlsView {
 public:
  enum PasswordResult { kPasswordOk = 1, kPasswordCancelled = 2, kPasswordWrong = 4 };

  virtual ~PortControlsView() = default;
  virtual std::string RunCaption() const = 0;
  virtual void SetRunCaption(const std::string& caption) = 0;
  // The rescan button and the port list, enabled exactly while the port is stopped.
  virtual void SetPortControlsEnabled(bool enabled) = 0;
  virtual void SetPortList(const std::vector<std::string>& entries) = 0;
  virtual std::string PortListText() const = 0;
  virtual void SetPortListText(const std::string& text) = 0;
  // Selecting the first entry of an empty list leaves the text as it is.
  virtual void SelectFirstPortEntry() = 0;
  virtual int AskPassword() = 0;
  virtual void ShowMessage(const std::string& text) = 0;
};

// The stop/start, rescan and choice handlers of the port group. The run state is the
// caption of the stop/start button, as the operator sees it.
class PortControls {
 public:
  PortControls(Driver& driver, PortControlsView& view, Reporter& reporter);

  // Puts the controls into the state that start-up left the port in.
  void ShowStartState(const Driver::StartState& state);

  void AdvGlowButton1Click();       // rescan
  void AdvGlowButton2Click();       // stop / start
  void AdvOfficeComboBox1Select();  // save the choice

  static constexpr int kHighestScannedPort = 32;

 private:
  bool TryOpen();
  void QueuePortState();

  Driver& driver_;
  PortControlsView& view_;
  Reporter& reporter_;
};

}  // namespace drv

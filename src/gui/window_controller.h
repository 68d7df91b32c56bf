#pragma once

#include <QObject>
#include <QString>
#include <memory>
#include <string>
#include <vector>

#include "app/port_controls.h"
#include "gui/main_window.h"
#include "gui/message_dialog.h"
#include "gui/password_dialog.h"
#include "platform/driver_host.h"

namespace drv {

inline constexpr const char kWrongClosePasswordText[] = "Не правильный пароль.";

// Ties the operator window to the driver core: runs the start-up and shows its results,
// shows the link state on every tick, appends the link's log lines, forwards the port
// group's clicks to PortControls and guards closing with the close password.
// Everything here runs on the main thread; the link thread reaches the window only through
// the host's hand-over.
class MainWindowController final : public QObject, private PortControlsView {
  Q_OBJECT
 public:
  explicit MainWindowController(DriverHost::Options options = {});
  ~MainWindowController() override;
  MainWindowController(const MainWindowController&) = delete;
  MainWindowController& operator=(const MainWindowController&) = delete;

  // The start-up: driver start, then its results on screen. Does not show the window.
  void Start();

  // The close request of the close box and the tray: asks for the close password; with the
  // right one the driver stops and the window closes (then closed() is emitted).
  void RequestClose();
  // Ends the program without asking (termination signals): the same closing steps.
  void Terminate();
  bool IsClosed() const { return closed_; }

  TForm1& form() { return *form_; }
  TForm2& password_dialog() { return *password_dialog_; }
  Tadvsm& message_dialog() { return *message_dialog_; }
  DriverHost& host() { return *host_; }
  Driver& driver() { return host_->driver(); }

 signals:
  // The driver has stopped and the window has closed: time to leave the event loop.
  void closed();

 private:
  // PortControlsView over the window and the two dialogs; texts are UTF-8, port names
  // Windows-1251.
  std::string RunCaption() const override;
  void SetRunCaption(const std::string& caption) override;
  void SetPortControlsEnabled(bool enabled) override;
  void SetPortList(const std::vector<std::string>& entries) override;
  std::string PortListText() const override;
  void SetPortListText(const std::string& text) override;
  void SelectFirstPortEntry() override;
  int AskPassword() override;
  void ShowMessage(const std::string& text) override;

  void DrawStationIndicator();
  void DrawServerIndicator();
  void AfterTick();
  void CloseNow();
  // Runs a handler of the window the way every event is run: errors go to the report.
  template <class F>
  void Guarded(const char* where, F&& body);

  // The views come first: the host's callbacks draw on them until the host has shut down.
  std::unique_ptr<TForm1> form_;
  std::unique_ptr<TForm2> password_dialog_;
  std::unique_ptr<Tadvsm> message_dialog_;
  std::unique_ptr<DriverHost> host_;
  std::unique_ptr<PortControls> port_controls_;
  bool started_ = false;
  bool closing_ = false;
  bool closed_ = false;
};

// The configuration's texts (the caption, port names) are Windows-1251.
QString DecodeCp1251(const std::string& bytes);
// A character Windows-1251 has no place for becomes a substitute.
std::string EncodeCp1251(const QString& text);

}  // namespace drv

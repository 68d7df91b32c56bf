#include "gui/window_controller.h"

#include <QStringDecoder>
#include <QStringEncoder>
#include <QStringList>

#include "base/date_time.h"
#include "base/guarded.h"

namespace drv {

namespace {

QString FromUtf8(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }
std::string ToUtf8(const QString& text) { return text.toUtf8().toStdString(); }

static_assert(TForm2::kOk == PortControlsView::kPasswordOk && TForm2::kWrong == PortControlsView::kPasswordWrong &&
              TForm2::kCancelled == PortControlsView::kPasswordCancelled);

}  // namespace

QString DecodeCp1251(const std::string& bytes) {
  QStringDecoder decoder("windows-1251");
  if (!decoder.isValid()) return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
  return decoder(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
}

std::string EncodeCp1251(const QString& text) {
  QStringEncoder encoder("windows-1251");
  if (!encoder.isValid()) return text.toLatin1().toStdString();
  const QByteArray bytes = encoder(text);
  return bytes.toStdString();
}

MainWindowController::MainWindowController(DriverHost::Options options)
    : form_(std::make_unique<TForm1>()),
      password_dialog_(std::make_unique<TForm2>()),
      message_dialog_(std::make_unique<Tadvsm>()) {
  host_ = std::make_unique<DriverHost>(
      DriverHost::Callbacks{
          .log_line = [this](const std::string& line) { form_->AppendLog(FromUtf8(line)); },
          .server_indicator = [this] { DrawServerIndicator(); },
          .station_indicator = [this] { DrawStationIndicator(); },
          .after_tick = [this] { AfterTick(); },
      },
      std::move(options));
  host_->OnBacklogText = [this](const std::string& text) { form_->SetBacklogText(FromUtf8(text)); };
  port_controls_ = std::make_unique<PortControls>(host_->driver(), static_cast<PortControlsView&>(*this),
                                                  host_->reporter());

  // Queued: the password dialog must not run inside the window's close event or the tray
  // menu's trigger.
  connect(form_.get(), &TForm1::closeRequested, this, &MainWindowController::RequestClose, Qt::QueuedConnection);
  connect(form_.get(), &TForm1::runButtonClicked, this,
          [this] { Guarded("AdvGlowButton2Click", [this] { port_controls_->AdvGlowButton2Click(); }); });
  connect(form_.get(), &TForm1::rescanClicked, this,
          [this] { Guarded("AdvGlowButton1Click", [this] { port_controls_->AdvGlowButton1Click(); }); });
  connect(form_.get(), &TForm1::portSelected, this,
          [this] { Guarded("AdvOfficeComboBox1Select", [this] { port_controls_->AdvOfficeComboBox1Select(); }); });
  connect(form_.get(), &TForm1::testClicked, this,
          [this] { Guarded("Button1Click", [this] { driver().InjectTestLine(); }); });
}

MainWindowController::~MainWindowController() {
  // The link thread may still hand lines over: it must have ended while the views exist.
  host_->Shutdown();
  port_controls_.reset();
  host_.reset();
}

template <class F>
void MainWindowController::Guarded(const char* where, F&& body) {
  if (closing_ || closed_) return;
  RunGuarded(host_->reporter(), where, std::forward<F>(body));
}

void MainWindowController::Start() {
  if (started_) return;
  started_ = true;
  // Green before anything is known: the first tick tells the truth about the station.
  form_->SetStationIndicator(true, 0);
  const Driver::StartState state = host_->Start();
  const Driver& core = driver();
  form_->SetClosePassword(FromUtf8(core.ClosePassword()));
  form_->SetCaptionSuffix(DecodeCp1251(core.settings().Caption));
  port_controls_->ShowStartState(state);
  DrawServerIndicator();
  form_->SetStartTime(FromUtf8(FormatDateTimeShort(core.StartTime())));
  form_->ShowPage(TForm1::kStatusPage);
}

void MainWindowController::DrawStationIndicator() {
  form_->SetStationIndicator(driver().StationLinkOk(), driver().StationTick());
}

void MainWindowController::DrawServerIndicator() {
  // Without a server link the indicator is never drawn and stays empty.
  if (!driver().HasServerLink()) return;
  form_->SetServerIndicator(driver().ServerIndicatorConnected(), driver().ServerTick());
}

void MainWindowController::AfterTick() {
  form_->SetElapsedText(FromUtf8(driver().ElapsedText()));
}

void MainWindowController::RequestClose() {
  if (closing_ || closed_ || !started_) return;
  closing_ = true;
  const int result = password_dialog_->Ask(FromUtf8(driver().ClosePassword()));
  if (closed_) return;  // ended by a signal while the dialog was open
  if (result == TForm2::kOk) {
    CloseNow();
    return;
  }
  if (result == TForm2::kWrong) message_dialog_->ShowMessageDialog(kWrongClosePasswordText);
  closing_ = false;
}

void MainWindowController::Terminate() {
  if (closed_) return;
  closing_ = true;
  // A dialog left open would keep its own event loop running after the program has ended.
  if (password_dialog_->isVisible()) password_dialog_->reject();
  if (message_dialog_->isVisible()) message_dialog_->reject();
  CloseNow();
}

void MainWindowController::CloseNow() {
  // Port closed, link told to stop and waited for while its hand-overs are still served.
  host_->Shutdown();
  closed_ = true;
  form_->ForceClose();
  emit closed();
}

std::string MainWindowController::RunCaption() const { return ToUtf8(form_->RunCaption()); }
void MainWindowController::SetRunCaption(const std::string& caption) { form_->SetRunCaption(FromUtf8(caption)); }
void MainWindowController::SetPortControlsEnabled(bool enabled) { form_->SetPortControlsEnabled(enabled); }

// Port names are Windows-1251, as the configuration file holds them.
void MainWindowController::SetPortList(const std::vector<std::string>& entries) {
  QStringList ports;
  for (const std::string& entry : entries) ports << DecodeCp1251(entry);
  form_->SetPortList(ports);
}

std::string MainWindowController::PortListText() const { return EncodeCp1251(form_->PortListText()); }
void MainWindowController::SetPortListText(const std::string& text) { form_->SetPortListText(DecodeCp1251(text)); }
void MainWindowController::SelectFirstPortEntry() { form_->SelectFirstPortEntry(); }

int MainWindowController::AskPassword() {
  if (closed_) return kPasswordCancelled;
  return password_dialog_->Ask(FromUtf8(driver().ClosePassword()));
}

void MainWindowController::ShowMessage(const std::string& text) {
  if (closed_) return;
  message_dialog_->ShowMessageDialog(FromUtf8(text));
}

}  // namespace drv

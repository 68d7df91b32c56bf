#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>
#include <functional>

class QAction;
class QButtonGroup;
class QComboBox;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QStackedWidget;
class QSystemTrayIcon;
class QToolButton;

namespace drv {

// The application name and the window's title before its tail.
inline constexpr const char kApplicationTitle[] = "Драйвер ПКС Ларна";

// TForm1: the operator's main window (objectName "Form1"). A thin view: it shows what it is
// given and reports the operator's actions as signals; it holds no driver state of its own
// beyond what is on screen.
//
// Layout: fixed client area 447 x 332, centred on the screen when first shown.
//   "AdvToolBarPager1"  title band, 57 px high
//   "AdvGlowButton28"   page button "Состояние" (page 0), "AdvGlowButton47" "Настройки" (page 1)
//   "Notebook1"         QStackedWidget with the pages "Default" (0) and "setup" (1)
//   page "Default": Label5, Image2 (station indicator), Label16 (elapsed time), Label17,
//     Image3 (server indicator, empty until SetServerIndicator), Label9, Label10 (start
//     time), Label12, Label13 (close password), Memo1 (log, newest 10000 lines kept),
//     Button1 "Тест" (hidden; clicking it programmatically emits testClicked)
//   page "setup": group "AdvGroupBox1" "Com порт" with the port list "AdvOfficeComboBox1",
//     the start/stop button "AdvGlowButton2" and the rescan button "AdvGlowButton1"
//   tray icon "TrayIcon1" with the menu "AdvPopupMenu1": "N4" Восстановить, "N6" Закрыть
//
// The window never closes by itself: its close box and the tray's "Закрыть" both emit
// closeRequested(); the owner asks for the password and then calls ForceClose().
// Minimising hides the window into the tray when the desktop has one; otherwise the window
// stays minimised in the taskbar so that it can still be reached.
//
// Wiring notes: keep QApplication::quitOnLastWindowClosed false while the window can hide
// into the tray (a dialog closing while the window is hidden would otherwise end the event
// loop), and do not set an application display name, which some platforms append to every
// window title.
class TForm1 : public QWidget {
  Q_OBJECT
 public:
  enum Page { kStatusPage = 0, kSetupPage = 1 };

  explicit TForm1(QWidget* parent = nullptr);
  ~TForm1() override;

  static constexpr int kClientWidth = 447;
  static constexpr int kClientHeight = 332;
  static constexpr int kMemoMaxLines = 10000;

  // Appends " - " + caption to the window title, the title band and the tray hint.
  // Empty captions are ignored; only the first non-empty caption is applied.
  void SetCaptionSuffix(const QString& caption);

  // Redraws the indicators. ok picks green (true) or red; phase 0..16 places the stripes.
  void SetStationIndicator(bool ok, int phase);
  void SetServerIndicator(bool connected, int phase);

  void SetElapsedText(const QString& text);      // Label16
  void SetStartTime(const QString& text);        // Label10
  void SetClosePassword(const QString& text);    // Label13
  // "Label18", right of the close password: what waits to be sent. Also added to the tray
  // hint on a second line while something waits (text differs from the empty text).
  void SetBacklogText(const QString& text);
  QString BacklogText() const;

  // Appends one line to Memo1 and scrolls to it. The oldest lines go beyond kMemoMaxLines.
  void AppendLog(const QString& line);

  // Shows a page and presses its page button (releasing the other).
  void ShowPage(int page);
  int CurrentPage() const;

  // Port controls of the page "setup".
  void SetRunCaption(const QString& caption);    // "Остановить" / "Запустить"
  QString RunCaption() const;
  void SetPortControlsEnabled(bool enabled);     // rescan button and port list
  // Replaces the list's entries; the list text stays as it was.
  void SetPortList(const QStringList& ports);
  QStringList PortList() const;
  // The text shown in the port list; it need not be one of the entries.
  QString PortListText() const;
  void SetPortListText(const QString& text);
  // Makes the first entry the list text; with an empty list the text stays as it was.
  void SelectFirstPortEntry();

  // Shows the window restored from minimised or hidden, raised and active ("Восстановить").
  void Restore();

  // Lets the window close for real (after the right password) and closes it.
  void ForceClose();

  // Decides whether minimising hides into the tray. Defaults to asking the desktop
  // (QSystemTrayIcon::isSystemTrayAvailable); tests replace it.
  void SetTrayAvailabilityProbe(std::function<bool()> probe);

  QSystemTrayIcon* TrayIcon() const { return tray_; }

 signals:
  void closeRequested();     // close box, Alt+F4 or the tray's "Закрыть"
  void runButtonClicked();   // "Остановить" / "Запустить"
  void rescanClicked();      // "Сканировать заново"
  void portSelected();       // the operator picked an entry of the port list
  void testClicked();        // the hidden "Тест" button

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void BuildTitleBand();
  void BuildPageButtons();
  void BuildStatusPage(QWidget* page);
  void BuildSetupPage(QWidget* page);
  void BuildTray();
  void ApplyTexts();
  // The labels left of the indicators are kept within their room in the current font.
  void FitLabels();

  QString suffix_;
  bool close_allowed_ = false;
  bool centred_ = false;
  std::function<bool()> tray_available_;

  QLabel* title_band_ = nullptr;
  QToolButton* status_button_ = nullptr;
  QToolButton* setup_button_ = nullptr;
  QButtonGroup* page_buttons_ = nullptr;
  QStackedWidget* notebook_ = nullptr;
  QLabel* station_label_ = nullptr;
  QLabel* station_image_ = nullptr;
  QLabel* server_label_ = nullptr;
  QLabel* server_image_ = nullptr;
  QLabel* elapsed_label_ = nullptr;
  QLabel* start_label_ = nullptr;
  QLabel* password_label_ = nullptr;
  QLabel* backlog_label_ = nullptr;
  QString backlog_hint_;
  QPlainTextEdit* memo_ = nullptr;
  QComboBox* port_list_ = nullptr;
  QPushButton* run_button_ = nullptr;
  QPushButton* rescan_button_ = nullptr;
  QSystemTrayIcon* tray_ = nullptr;
  QMenu* tray_menu_ = nullptr;
};

}  // namespace drv

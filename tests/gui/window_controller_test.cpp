// The window wired to the driver core, on the offscreen platform, with ptys for ports and a
// temporary work folder for the configuration and every file the driver writes.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSerialPort>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <fstream>
#include <ostream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/date_time.h"
#include "base/settings.h"
#include "gui/indicator_painter.h"
#include "gui/window_controller.h"
#include "integration/driver_process.h"
#include "integration/msgserver_process.h"
#include "integration/pty_pair.h"
#include "support/fake_clock.h"
#include "support/hanging_port.h"

namespace drv {
namespace {

// Answers the modal dialogs in the order they come up. Each step names the dialog it
// expects; any other modal dialog is a failure and is rejected so that no test hangs.
class ModalScript {
 public:
  using Act = std::function<void(QDialog&)>;

  ModalScript() {
    QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
    timer_.start(5);
  }
  ~ModalScript() { timer_.stop(); }

  ModalScript& Then(const char* dialog, Act act) {
    steps_.push_back({dialog, std::move(act)});
    return *this;
  }
  ModalScript& Password(const QString& typed, const char* button = "BitBtn1") {
    return Then("Form2", [typed, button](QDialog& d) {
      auto* entry = d.findChild<QLineEdit*>("MaskEdit1");
      entry->clear();
      QTest::keyClicks(entry, typed);
      d.findChild<QPushButton*>(button)->click();
    });
  }
  ModalScript& Cancel() { return Password(QString(), "BitBtn2"); }
  // Notes the message and presses "ОК".
  ModalScript& Message() {
    return Then("advsm", [this](QDialog& d) {
      messages_ << d.findChild<QLabel*>("Label1")->text();
      d.findChild<QPushButton*>("Button1")->click();
    });
  }

  bool Done() const { return next_ == steps_.size(); }
  const QStringList& messages() const { return messages_; }

 private:
  void Poll() {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (dialog == nullptr) return;
    if (next_ >= steps_.size() || dialog->objectName() != steps_[next_].dialog) {
      ADD_FAILURE() << "unexpected dialog " << dialog->objectName().toStdString();
      dialog->reject();
      return;
    }
    steps_[next_++].act(*dialog);
  }

  struct Step {
    QString dialog;
    Act act;
  };
  std::vector<Step> steps_;
  std::size_t next_ = 0;
  QStringList messages_;
  QTimer timer_;
};

// Serves the event loop until `done` or about five seconds have passed.
bool WaitUntil(const std::function<bool()>& done) {
  QElapsedTimer waited;
  waited.start();
  while (!done()) {
    if (waited.elapsed() > 5000) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

QImage Rgb(const QImage& image) { return image.convertToFormat(QImage::Format_RGB32); }

class WindowControllerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(work_.isValid()); }
  void TearDown() override {
    if (controller_) controller_->Terminate();
  }

  std::string WorkPath(const char* name) const { return QDir(work_.path()).filePath(name).toStdString(); }

  // Writes drvlarna.ini from lines (Windows-1251 bytes where they are not ASCII).
  void WriteIni(const std::vector<std::string>& lines) {
    std::ofstream out(WorkPath(kIniFileName), std::ios::binary);
    for (const std::string& line : lines) out << line << "\r\n";
  }

  // Starts the window; `clock` null means the real clock. The DTR pause is skipped.
  MainWindowController& Start(const Clock* clock = nullptr) {
    controller_ = std::make_unique<MainWindowController>(DriverHost::Options{
        .work_dir = work_.path().toStdString(), .clock = clock, .sleep_ms = [](int) {}});
    controller_->Start();
    controller_->form().show();
    return *controller_;
  }

  template <typename T = QWidget>
  T* Find(const char* name) {
    T* widget = controller_->form().findChild<T*>(name);
    EXPECT_NE(widget, nullptr) << name;
    return widget;
  }
  QString LabelText(const char* name) { return Find<QLabel>(name)->text(); }
  QString PortText() { return Find<QComboBox>("AdvOfficeComboBox1")->currentText(); }
  QStringList PortEntries() { return controller_->form().PortList(); }
  bool RescanEnabled() { return Find<QPushButton>("AdvGlowButton1")->isEnabled(); }
  bool ListEnabled() { return Find<QComboBox>("AdvOfficeComboBox1")->isEnabled(); }
  QString RunCaption() { return Find<QPushButton>("AdvGlowButton2")->text(); }
  bool PortOpen() { return controller_->driver().SerialPortDriver1().PortOpen(); }
  std::string SavedComPort() { return LoadSettings(WorkPath(kIniFileName)).ComPort; }
  QString Memo() { return Find<QPlainTextEdit>("Memo1")->toPlainText(); }

  // Clicks a button whose handler may open modal dialogs, and checks that the script ran out.
  void ClickThrough(const char* button, const ModalScript& script) {
    Find<QPushButton>(button)->click();
    EXPECT_TRUE(script.Done());
  }

  QTemporaryDir work_;
  std::unique_ptr<MainWindowController> controller_;
};

// ---- start-up ----

struct StartCase {
  const char* name;
  const char* com_port;
  enum Device { kNone, kPty, kMissing } device;
  const char* caption;
  bool controls_enabled;
  const char* list_text;
};

const StartCase kStartCases[] = {
    {"NoPort", "COM255", StartCase::kNone, "Запустить", true, ""},
    {"MappedPty", "COM7", StartCase::kPty, "Остановить", false, "COM7"},
    {"MissingDevice", "COM9", StartCase::kMissing, "Запустить", true, "COM9"},
    // Not the marker (that is upper case only): tried, failed, and shown as read.
    {"LowerCaseMarker", "com255", StartCase::kMissing, "Запустить", true, "com255"},
    // Windows-1251 in the file, shown decoded.
    {"NonAsciiName", "\xCF\xEE\xF0\xF2" "3", StartCase::kMissing, "Запустить", true, "Порт3"},
};

void PrintTo(const StartCase& c, std::ostream* os) { *os << c.name; }

class StartStateTest : public WindowControllerTest, public ::testing::WithParamInterface<StartCase> {};

TEST_P(StartStateTest, ShowsWhatStartUpLeft) {
  const StartCase& c = GetParam();
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  std::vector<std::string> ini = {"[port]", std::string("ComPort=") + c.com_port,
                                  "[main]", "SendK8=0",
                                  "Caption=\xCF\xEE\xF1\xF2 2",  // "Пост 2" in Windows-1251
                                  "[ComMap]"};
  if (c.device == StartCase::kPty) ini.push_back(std::string(c.com_port) + "=" + pty.slave_path());
  if (c.device == StartCase::kMissing) ini.push_back(std::string(c.com_port) + "=" + WorkPath("no-such-tty"));
  WriteIni(ini);
  MainWindowController& window = Start();

  EXPECT_EQ(RunCaption(), QString(c.caption));
  EXPECT_EQ(RescanEnabled(), c.controls_enabled);
  EXPECT_EQ(ListEnabled(), c.controls_enabled);
  EXPECT_EQ(PortText(), QString(c.list_text));
  EXPECT_TRUE(PortEntries().isEmpty());
  EXPECT_EQ(PortOpen(), c.device == StartCase::kPty);

  EXPECT_EQ(window.form().CurrentPage(), TForm1::kStatusPage);
  EXPECT_EQ(window.form().windowTitle(), "Драйвер ПКС Ларна - Пост 2");
  EXPECT_EQ(Find<QLabel>("AdvToolBarPager1")->text(), "КПО Миреол 2008 - Драйвер ПКС Ларна - Пост 2");
  EXPECT_EQ(window.form().TrayIcon()->toolTip(), "Драйвер - ПКС Ларна - Пост 2");
  const QString password = LabelText("Label13");
  EXPECT_EQ(password.toStdString(), window.driver().ClosePassword());
  EXPECT_EQ(password.size(), 5);
  EXPECT_EQ(LabelText("Label10").toStdString(), FormatDateTimeShort(window.driver().StartTime()));
  // Green and at rest until the first tick; no server link, so no server indicator at all.
  EXPECT_EQ(Rgb(Find<QLabel>("Image2")->pixmap().toImage()), Rgb(PaintIndicator(true, 0)));
  EXPECT_TRUE(Find<QLabel>("Image3")->pixmap().isNull());
  EXPECT_FALSE(Find<QPushButton>("Button1")->isVisible());
}

INSTANTIATE_TEST_SUITE_P(Rows, StartStateTest, ::testing::ValuesIn(kStartCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(WindowControllerTest, WithoutServerLinkTheServerIndicatorStaysEmptyThroughTicks) {
  WriteIni({"[main]", "SendK8=0"});
  MainWindowController& window = Start();
  for (int i = 0; i < 3; ++i) window.host().Timer2Tick();
  EXPECT_FALSE(window.driver().HasServerLink());
  EXPECT_TRUE(Find<QLabel>("Image3")->pixmap().isNull());
}

// ---- the 200 ms tick ----

struct TickCase {
  const char* name;
  uint64_t advance_ms;  // from the previous row
  const char* elapsed;
  bool station_ok;
};

TEST_F(WindowControllerTest, TickShowsTimeSinceLastPacketAndStationState) {
  const TickCase kRows[] = {
      {"right after the packet", 0, "00:00:00", true},
      {"five seconds later", 5000, "00:00:05", true},
      {"a day later, whole days dropped", 86400000, "00:00:05", false},
  };
  test::FakeClock clock;
  WriteIni({"[main]", "SendK8=0"});
  MainWindowController& window = Start(&clock);
  EXPECT_EQ(LabelText("Label16"), "Время с последнего сообщения");

  // The hidden "Тест" button feeds one receiver line: a packet now, the indicator one step on.
  Find<QPushButton>("Button1")->click();
  ASSERT_EQ(window.driver().StationTick(), 1);
  for (const TickCase& row : kRows) {
    SCOPED_TRACE(row.name);
    clock.Advance(row.advance_ms);
    window.host().Timer2Tick();
    EXPECT_EQ(LabelText("Label16"), QString(row.elapsed));
    EXPECT_EQ(Rgb(Find<QLabel>("Image2")->pixmap().toImage()), Rgb(PaintIndicator(row.station_ok, 1)));
  }
}

// ---- closing ----

struct CloseCase {
  const char* name;
  enum How { kRight, kWrong, kCancel, kSignalWhileAsking } how;
  bool from_tray;
  bool closes;
  const char* message;  // nullptr: none
};

const CloseCase kCloseCases[] = {
    {"RightPassword", CloseCase::kRight, false, true, nullptr},
    {"RightPasswordFromTray", CloseCase::kRight, true, true, nullptr},
    {"WrongPassword", CloseCase::kWrong, false, false, "Не правильный пароль."},
    {"Cancelled", CloseCase::kCancel, false, false, nullptr},
    {"SignalWhileAsking", CloseCase::kSignalWhileAsking, false, true, nullptr},
};

void PrintTo(const CloseCase& c, std::ostream* os) { *os << c.name; }

class CloseTest : public WindowControllerTest, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(CloseTest, CloseRequestNeedsThePassword) {
  const CloseCase& c = GetParam();
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  WriteIni({"[port]", "ComPort=COM3", "[main]", "SendK8=0", "[ComMap]", "COM3=" + pty.slave_path()});
  MainWindowController& window = Start();
  ASSERT_TRUE(PortOpen());
  QSignalSpy closed(&window, &MainWindowController::closed);

  ModalScript script;
  const QString password = QString::fromStdString(window.driver().ClosePassword());
  switch (c.how) {
    case CloseCase::kRight: script.Password(password); break;
    case CloseCase::kWrong: script.Password("1234").Message(); break;  // shorter: never matches
    case CloseCase::kCancel: script.Cancel(); break;
    case CloseCase::kSignalWhileAsking: script.Then("Form2", [&](QDialog&) { window.Terminate(); }); break;
  }
  if (c.from_tray) {
    Find<QMenu>("AdvPopupMenu1")->findChild<QAction*>("N6")->trigger();
  } else {
    window.form().close();
  }
  ASSERT_TRUE(WaitUntil([&] { return script.Done(); }));
  QCoreApplication::processEvents();

  EXPECT_EQ(closed.count(), c.closes ? 1 : 0);
  EXPECT_EQ(window.IsClosed(), c.closes);
  EXPECT_EQ(window.form().isVisible(), !c.closes);
  EXPECT_EQ(PortOpen(), !c.closes);
  EXPECT_FALSE(window.password_dialog().isVisible());
  EXPECT_EQ(script.messages(), c.message ? QStringList{c.message} : QStringList{});
}

INSTANTIATE_TEST_SUITE_P(Rows, CloseTest, ::testing::ValuesIn(kCloseCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(WindowControllerTest, CloseWhileTheLinkWaitsForAReplyEndsAndDrawsTheServerIndicator) {
  test::MsgServerProcess server;
  ASSERT_TRUE(server.Start({"--silent"}));
  WriteIni({"[main]", "SendK8=1", "[ServerHost]", "Address=127.0.0.1", "Port=" + std::to_string(server.port())});
  MainWindowController& window = Start();
  EXPECT_FALSE(Find<QLabel>("Image3")->pixmap().isNull());

  // Connected: the link is now writing its greeting and waiting a second for each reply.
  ASSERT_TRUE(WaitUntil([&] { return Memo().contains("Соединение установлено."); }));
  const QStringList lines = Memo().split('\n');
  ASSERT_GE(lines.size(), 2);
  EXPECT_TRUE(lines[0].endsWith(" Соединение...")) << lines[0].toStdString();
  EXPECT_TRUE(lines[0].startsWith(QString::fromStdString(FormatDate(window.driver().StartTime()))));

  ModalScript script;
  script.Password(QString::fromStdString(window.driver().ClosePassword()));
  window.form().close();
  ASSERT_TRUE(WaitUntil([&] { return window.IsClosed(); }));
  EXPECT_TRUE(window.driver().WaitLinkStopped(0));
}

TEST_F(WindowControllerTest, ServerIndicatorIsNeverGreenWhileAnAttemptMerelyRuns) {
  // Every connect hangs to its time-out: the link counts as connected for 2.5 s of every 5,
  // but the indicator shows what the link's ticks said, and none of them saw a connection.
  const int port = test::FreeLoopbackPort();
  test::HangingPort hanging(port);
  ASSERT_TRUE(hanging.ok());
  WriteIni({"[main]", "SendK8=1", "[ServerHost]", "Address=127.0.0.1", "Port=" + std::to_string(port)});
  MainWindowController& window = Start();
  ASSERT_TRUE(WaitUntil([&] { return Memo().contains("Соединение..."); }));
  ASSERT_TRUE(WaitUntil([&] { return window.driver().ServerTick() >= 1; }));
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(window.driver().ServerConnected()) << "the attempt is over too early for this test";
    window.host().Timer2Tick();
    EXPECT_EQ(Rgb(Find<QLabel>("Image3")->pixmap().toImage()), Rgb(PaintIndicator(false, window.driver().ServerTick())))
        << "tick " << i;
  }
}

// ---- the port group ----

class PortGroupTest : public WindowControllerTest {
 protected:
  // COM1..COM32 mapped: COM2, COM5 and COM9 to ptys, every other one to a missing path.
  void MapPorts(const char* com_port) {
    std::vector<std::string> ini = {"[port]", std::string("ComPort=") + com_port, "[main]", "SendK8=0", "[ComMap]"};
    for (int n = 1; n <= 32; ++n) {
      std::string path = WorkPath(("missing" + std::to_string(n)).c_str());
      if (n == 2) path = com2.slave_path();
      if (n == 5) path = com5.slave_path();
      if (n == 9) path = com9.slave_path();
      ini.push_back("COM" + std::to_string(n) + "=" + path);
    }
    WriteIni(ini);
  }
  // Another program holds COM9.
  void TakeCom9() {
    holder.setPortName(QString::fromStdString(com9.slave_path()));
    ASSERT_TRUE(holder.open(QIODevice::ReadOnly));
  }

  test::PtyPair com2, com5, com9;
  QSerialPort holder;
};

TEST_F(PortGroupTest, ScanListsExactlyThePortsThatOpenAndSavesTheFirst) {
  MapPorts("COM255");
  TakeCom9();
  Start();
  ModalScript script;
  ClickThrough("AdvGlowButton1", script);

  EXPECT_EQ(PortEntries(), (QStringList{"COM2", "COM5"}));
  EXPECT_EQ(PortText(), "COM2");
  EXPECT_EQ(SavedComPort(), "COM2");
  EXPECT_FALSE(PortOpen());
  EXPECT_EQ(RunCaption(), "Запустить");

  // Picking an entry while stopped saves it; only "Запустить" opens it.
  auto* list = Find<QComboBox>("AdvOfficeComboBox1");
  list->setCurrentIndex(1);
  emit list->activated(1);
  EXPECT_EQ(SavedComPort(), "COM5");
  EXPECT_FALSE(PortOpen());
}

struct StopCase {
  const char* name;
  enum How { kRight, kWrong, kCancel } how;
  bool stops;
};

TEST_F(PortGroupTest, StopNeedsThePasswordAndStartReopensTheListedPort) {
  const StopCase kRows[] = {
      {"cancelled", StopCase::kCancel, false},
      {"wrong", StopCase::kWrong, false},
      {"right", StopCase::kRight, true},
  };
  MapPorts("COM5");
  MainWindowController& window = Start();
  ASSERT_TRUE(PortOpen());
  const QString password = QString::fromStdString(window.driver().ClosePassword());
  for (const StopCase& row : kRows) {
    SCOPED_TRACE(row.name);
    ModalScript script;
    if (row.how == StopCase::kRight) script.Password(password);
    if (row.how == StopCase::kWrong) script.Password("1234").Message();
    if (row.how == StopCase::kCancel) script.Cancel().Message();
    ClickThrough("AdvGlowButton2", script);

    EXPECT_EQ(PortOpen(), !row.stops);
    EXPECT_EQ(RunCaption(), row.stops ? "Запустить" : "Остановить");
    EXPECT_EQ(RescanEnabled(), row.stops);
    EXPECT_EQ(ListEnabled(), row.stops);
    EXPECT_EQ(script.messages(),
              row.stops ? QStringList{} : QStringList{"Неправильный пароль. В доступе отказано"});
  }

  // Start again without touching the list: the same port opens.
  ModalScript none;
  ClickThrough("AdvGlowButton2", none);
  EXPECT_TRUE(PortOpen());
  EXPECT_EQ(window.driver().SerialPortDriver1().PortName(), "\\\\.\\COM5");
  EXPECT_EQ(RunCaption(), "Остановить");
  EXPECT_FALSE(RescanEnabled());
}

struct FailedStartCase {
  const char* name;
  const char* com_port;  // at start-up; the list text then
  const char* list_text;
};

class FailedStartTest : public PortGroupTest, public ::testing::WithParamInterface<FailedStartCase> {};

TEST_P(FailedStartTest, SaysThePortIsTakenAndRescans) {
  const FailedStartCase& c = GetParam();
  MapPorts(c.com_port);
  TakeCom9();
  Start();
  ASSERT_FALSE(PortOpen());
  ASSERT_EQ(PortText(), QString(c.list_text));

  ModalScript script;
  script.Message();
  ClickThrough("AdvGlowButton2", script);

  EXPECT_EQ(script.messages(), QStringList{"Порт уже занят!"});
  EXPECT_FALSE(PortOpen());
  EXPECT_EQ(RunCaption(), "Запустить");
  EXPECT_EQ(PortEntries(), (QStringList{"COM2", "COM5"}));
  EXPECT_EQ(PortText(), "COM2");
  EXPECT_EQ(SavedComPort(), "COM2");
}

INSTANTIATE_TEST_SUITE_P(Rows, FailedStartTest,
                         ::testing::Values(FailedStartCase{"TakenPort", "COM9", "COM9"},
                                           // No port configured: "\\.\" alone is tried.
                                           FailedStartCase{"EmptyListText", "COM255", ""}),
                         [](const auto& info) { return std::string(info.param.name); });

// The list shows a Windows-1251 port name decoded and saves it as the same bytes.
TEST_F(WindowControllerTest, NonAsciiPortNameKeepsItsBytesInTheFile) {
  const std::string name = "\xCF\xEE\xF0\xF2" "3";  // "Порт3" in Windows-1251
  std::vector<std::string> ini = {"[port]", "ComPort=" + name, "[main]", "SendK8=0", "[ComMap]"};
  for (int n = 1; n <= 32; ++n) ini.push_back("COM" + std::to_string(n) + "=" + WorkPath("missing"));
  WriteIni(ini);
  Start();
  ASSERT_FALSE(PortOpen());
  ASSERT_EQ(PortText(), "Порт3");

  // A rescan that finds nothing keeps the list text and saves it.
  ModalScript script;
  ClickThrough("AdvGlowButton1", script);
  EXPECT_TRUE(PortEntries().isEmpty());
  EXPECT_EQ(PortText(), "Порт3");
  EXPECT_EQ(SavedComPort(), name);
}

}  // namespace
}  // namespace drv

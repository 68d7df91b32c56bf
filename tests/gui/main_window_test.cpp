#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFont>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>

#include "gui/indicator_painter.h"
#include "gui/main_window.h"

namespace drv {
namespace {

class MainWindowTest : public ::testing::Test {
 protected:
  template <typename T>
  T* Find(const char* name) {
    T* widget = form.findChild<T*>(name);
    EXPECT_NE(widget, nullptr) << name;
    return widget;
  }
  QString Text(const char* name) {
    QObject* object = form.findChild<QObject*>(name);
    if (auto* label = qobject_cast<QLabel*>(object)) return label->text();
    if (auto* button = qobject_cast<QAbstractButton*>(object)) return button->text();
    if (auto* group = qobject_cast<QGroupBox*>(object)) return group->title();
    return QString();
  }
  QAction* Action(const char* name) { return Find<QMenu>("AdvPopupMenu1")->findChild<QAction*>(name); }

  TForm1 form;
};

struct ControlCase {
  const char* name;
  const char* class_name;
  const char* text;  // nullptr: no text to check
  int left, top, width, height;  // width/height -1: sized by its text
};

const ControlCase kControls[] = {
    {"Label5", "QLabel", "Контроль связи со станцией", 11, 11, -1, -1},
    {"Image2", "QLabel", "", 161, 10, 16, 16},
    {"Label16", "QLabel", "Время с последнего сообщения", 183, 11, -1, -1},
    {"Label17", "QLabel", "Связь с сервером сообщений", 262, 13, -1, -1},
    {"Image3", "QLabel", "", 419, 12, 16, 16},
    {"Label9", "QLabel", "Дата и время запуска", 10, 38, -1, -1},
    {"Label10", "QLabel", "", 127, 38, -1, -1},
    {"Label12", "QLabel", "Пароль для закрытия", 10, 66, -1, -1},
    {"Label13", "QLabel", "", 127, 66, -1, -1},
    {"Memo1", "QPlainTextEdit", nullptr, 7, 85, 432, 100},
    {"Button1", "QPushButton", "Тест", 364, 34, 75, 19},
};

TEST_F(MainWindowTest, StatusPageControlsHaveTheirNamesTextsAndPlaces) {
  auto* page = Find<QWidget>("Default");
  for (const auto& c : kControls) {
    SCOPED_TRACE(c.name);
    auto* widget = page->findChild<QWidget*>(c.name);
    ASSERT_NE(widget, nullptr);
    EXPECT_STREQ(widget->metaObject()->className(), c.class_name);
    if (c.text != nullptr) {
      EXPECT_EQ(Text(c.name), QString(c.text));
    }
    EXPECT_EQ(widget->pos(), QPoint(c.left, c.top));
    if (c.width >= 0) {
      EXPECT_EQ(widget->size(), QSize(c.width, c.height));
    }
  }
}

TEST_F(MainWindowTest, CaptionsFitBeforeTheirRightNeighbours) {
  form.SetElapsedText("23:59:59");
  form.SetStartTime("31.12.2024 23:59:59");
  const struct { const char* name; int limit; } fits[] = {
      {"Label5", 161}, {"Label16", 262}, {"Label17", 419}, {"Label9", 127}, {"Label12", 127},
      {"Label10", 447}};
  for (const auto& f : fits) {
    auto* label = Find<QLabel>(f.name);
    EXPECT_LE(label->x() + label->fontMetrics().horizontalAdvance(label->text()), f.limit) << f.name;
  }
}

QFont PixelFont(const char* family, int pixels) {
  QFont font(family);
  font.setPixelSize(pixels);
  return font;
}

// A label left of an indicator keeps its place and its whole text fits between its left
// edge and the indicator, uncut, whichever font the machine resolves: the window's own, and
// faces wider than it (a machine without the condensed face, a larger size).
TEST_F(MainWindowTest, LabelsLeftOfTheIndicatorsFitTheirRoomInAnyFont) {
  const struct { const char* label; const char* indicator; QPoint place; } pairs[] = {
      {"Label5", "Image2", {11, 11}}, {"Label17", "Image3", {262, 13}}};
  const QFont fonts[] = {form.font(), PixelFont("DejaVu Sans", 11), PixelFont("DejaVu Sans", 13),
                         PixelFont("DejaVu Serif", 12)};
  for (const QFont& font : fonts) {
    SCOPED_TRACE(font.toString().toStdString());
    form.setFont(font);
    for (const auto& pair : pairs) {
      SCOPED_TRACE(pair.label);
      auto* label = Find<QLabel>(pair.label);
      auto* indicator = Find<QLabel>(pair.indicator);
      const int text_width = QFontMetrics(label->font()).horizontalAdvance(label->text());
      EXPECT_EQ(label->pos(), pair.place);
      EXPECT_LE(text_width, indicator->x() - label->x());
      EXPECT_GE(label->width(), text_width) << "the text would be cut";
      EXPECT_LE(label->x() + label->width(), indicator->x()) << "the label would lie under the indicator";
      EXPECT_GE(label->height(), QFontMetrics(label->font()).height()) << "the text would be cut";
    }
  }
}

TEST_F(MainWindowTest, WindowFrameTitlesAndSetupPage) {
  EXPECT_EQ(form.objectName(), "Form1");
  EXPECT_EQ(form.size(), QSize(447, 332));
  EXPECT_EQ(form.minimumSize(), form.maximumSize());
  EXPECT_EQ(form.windowTitle(), "Драйвер ПКС Ларна");
  EXPECT_FALSE(form.windowIcon().isNull());
  auto* band = Find<QLabel>("AdvToolBarPager1");
  EXPECT_EQ(band->geometry(), QRect(0, 0, 447, 57));
  EXPECT_EQ(band->text(), "КПО Миреол 2008 - Драйвер ПКС Ларна");
  EXPECT_EQ(form.TrayIcon()->objectName(), "TrayIcon1");
  EXPECT_EQ(form.TrayIcon()->toolTip(), "Драйвер - ПКС Ларна");
  EXPECT_EQ(form.TrayIcon()->contextMenu(), Find<QMenu>("AdvPopupMenu1"));

  const auto actions = Find<QMenu>("AdvPopupMenu1")->actions();
  ASSERT_EQ(actions.size(), 3);
  EXPECT_EQ(actions[0]->objectName(), "N4");
  EXPECT_EQ(actions[0]->text(), "Восстановить");
  EXPECT_TRUE(actions[1]->isSeparator());
  EXPECT_EQ(actions[2]->objectName(), "N6");
  EXPECT_EQ(actions[2]->text(), "Закрыть");

  auto* memo = Find<QPlainTextEdit>("Memo1");
  EXPECT_TRUE(memo->isReadOnly());
  EXPECT_EQ(memo->maximumBlockCount(), 10000);
  EXPECT_TRUE(Find<QWidget>("Button1")->isHidden());
  EXPECT_TRUE(Find<QLabel>("Image3")->pixmap().isNull());  // no server link drawn yet

  auto* notebook = Find<QStackedWidget>("Notebook1");
  ASSERT_EQ(notebook->count(), 2);
  EXPECT_EQ(notebook->widget(0)->objectName(), "Default");
  EXPECT_EQ(notebook->widget(1)->objectName(), "setup");
  EXPECT_EQ(Text("AdvGlowButton28"), "Состояние");
  EXPECT_EQ(Text("AdvGlowButton47"), "Настройки");

  auto* setup = notebook->widget(1);
  auto* group = setup->findChild<QGroupBox*>("AdvGroupBox1");
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(group->title(), "Com порт");
  auto* list = group->findChild<QComboBox*>("AdvOfficeComboBox1");
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->maxVisibleItems(), 8);
  EXPECT_FALSE(list->isEnabled());
  EXPECT_EQ(Text("AdvGlowButton2"), "Остановить");
  EXPECT_EQ(Text("AdvGlowButton1"), "Сканировать заново");
  EXPECT_FALSE(Find<QWidget>("AdvGlowButton1")->isEnabled());
}

// The backlog line sits right of the close password, inside the page; while something
// waits it is also the tray hint's second line, after the caption.
TEST_F(MainWindowTest, BacklogLineOnStatusPageAndInTrayHint) {
  TForm1 window;
  window.SetCaptionSuffix("Пост 2");
  window.SetClosePassword("99998");
  window.show();
  QApplication::processEvents();
  auto* line = window.findChild<QLabel*>("Label18");
  ASSERT_NE(line, nullptr);
  EXPECT_EQ(line->parentWidget()->objectName(), "Default");
  EXPECT_TRUE(line->parentWidget()->rect().contains(line->geometry()));
  EXPECT_FALSE(line->geometry().intersects(window.findChild<QLabel*>("Label13")->geometry()))
      << window.findChild<QLabel*>("Label13")->geometry().width();

  window.SetBacklogText("Очередь: файлов 3 (старейший 0:01:00)");
  EXPECT_EQ(line->text(), "Очередь: файлов 3 (старейший 0:01:00)");
  EXPECT_EQ(window.TrayIcon()->toolTip(), "Драйвер - ПКС Ларна - Пост 2\nОчередь: файлов 3 (старейший 0:01:00)");
  window.SetBacklogText("Очередь на отправку пуста");
  EXPECT_EQ(line->text(), "Очередь на отправку пуста");
  EXPECT_EQ(window.TrayIcon()->toolTip(), "Драйвер - ПКС Ларна - Пост 2");
}

TEST_F(MainWindowTest, CaptionSuffixIsAppendedOnceToAllThreeTexts) {
  const QString captions[] = {"Пост 2", QString(2047, QChar(0x0416))};
  for (const QString& caption : captions) {
    SCOPED_TRACE(caption.size());
    TForm1 window;
    window.SetCaptionSuffix("");
    EXPECT_EQ(window.windowTitle(), "Драйвер ПКС Ларна");
    window.SetCaptionSuffix(caption);
    window.SetCaptionSuffix("again");
    EXPECT_EQ(window.windowTitle(), "Драйвер ПКС Ларна - " + caption);
    EXPECT_EQ(window.findChild<QLabel*>("AdvToolBarPager1")->text(),
              "КПО Миреол 2008 - Драйвер ПКС Ларна - " + caption);
    EXPECT_EQ(window.TrayIcon()->toolTip(), "Драйвер - ПКС Ларна - " + caption);
    window.show();
    QApplication::processEvents();
    EXPECT_EQ(window.size(), QSize(447, 332));
  }
}

TEST_F(MainWindowTest, IndicatorsShowThePaintedPictures) {
  form.SetStationIndicator(true, 0);
  form.SetServerIndicator(false, 14);
  EXPECT_EQ(Find<QLabel>("Image2")->pixmap().toImage(), PaintIndicator(true, 0));
  EXPECT_EQ(Find<QLabel>("Image3")->pixmap().toImage(), PaintIndicator(false, 14));
}

TEST_F(MainWindowTest, LabelsShowTheGivenTexts) {
  form.SetElapsedText("00:00:05");
  form.SetStartTime("10.12.2024 13:44:01");
  form.SetClosePassword("48213");
  EXPECT_EQ(Text("Label16"), "00:00:05");
  EXPECT_EQ(Text("Label10"), "10.12.2024 13:44:01");
  EXPECT_EQ(Text("Label13"), "48213");
}

TEST_F(MainWindowTest, PageButtonsActAsAPair) {
  auto* notebook = Find<QStackedWidget>("Notebook1");
  auto* status = Find<QAbstractButton>("AdvGlowButton28");
  auto* setup = Find<QAbstractButton>("AdvGlowButton47");
  EXPECT_EQ(notebook->currentWidget()->objectName(), "Default");
  EXPECT_TRUE(status->isChecked());

  const struct { QAbstractButton* click; const char* page; } steps[] = {
      {setup, "setup"}, {setup, "setup"}, {status, "Default"}, {status, "Default"}, {setup, "setup"}};
  for (const auto& step : steps) {
    QTest::mouseClick(step.click, Qt::LeftButton);
    EXPECT_EQ(notebook->currentWidget()->objectName(), step.page);
    EXPECT_TRUE(step.click->isChecked());
    EXPECT_NE(status->isChecked(), setup->isChecked());
  }
  form.ShowPage(TForm1::kStatusPage);
  EXPECT_EQ(form.CurrentPage(), TForm1::kStatusPage);
  EXPECT_TRUE(status->isChecked());
  EXPECT_FALSE(setup->isChecked());
}

TEST_F(MainWindowTest, LogKeepsOnlyTheNewestLinesAndShowsTheLast) {
  form.show();
  const int total = TForm1::kMemoMaxLines + 5;
  for (int i = 0; i < total; ++i) form.AppendLog(QString("line %1").arg(i));
  auto* memo = Find<QPlainTextEdit>("Memo1");
  const QTextDocument* document = memo->document();
  EXPECT_EQ(document->blockCount(), TForm1::kMemoMaxLines);
  EXPECT_EQ(document->firstBlock().text(), "line 5");
  EXPECT_EQ(document->lastBlock().text(), QString("line %1").arg(total - 1));
  EXPECT_EQ(memo->verticalScrollBar()->value(), memo->verticalScrollBar()->maximum());
}

TEST_F(MainWindowTest, FirstLogLineTakesTheFirstRow) {
  form.AppendLog("10.12.2024 13:44:01 Соединение установлено");
  EXPECT_EQ(Find<QPlainTextEdit>("Memo1")->toPlainText(), "10.12.2024 13:44:01 Соединение установлено");
}

TEST_F(MainWindowTest, CloseIsOnlyARequestUntilForced) {
  QSignalSpy requests(&form, &TForm1::closeRequested);
  form.show();
  EXPECT_FALSE(form.close());
  EXPECT_TRUE(form.isVisible());
  Action("N6")->trigger();
  EXPECT_TRUE(form.isVisible());
  EXPECT_EQ(requests.count(), 2);

  form.ForceClose();
  EXPECT_FALSE(form.isVisible());
  EXPECT_EQ(requests.count(), 2);
}

TEST_F(MainWindowTest, MinimisingWithoutATrayKeepsTheWindowReachable) {
  ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());  // offscreen has no tray
  form.show();
  form.showMinimized();
  QApplication::processEvents();
  EXPECT_TRUE(form.isMinimized());
  EXPECT_TRUE(form.isVisible());
}

TEST_F(MainWindowTest, MinimisingWithATrayHidesAndRestoreBringsBack) {
  form.SetTrayAvailabilityProbe([] { return true; });
  form.show();
  form.showMinimized();
  QApplication::processEvents();
  EXPECT_FALSE(form.isVisible());

  Action("N4")->trigger();
  EXPECT_TRUE(form.isVisible());
  EXPECT_FALSE(form.isMinimized());
}

TEST_F(MainWindowTest, PortListTextSurvivesListChanges) {
  const QString configured = "COM12";
  form.SetPortListText(configured);
  EXPECT_EQ(form.PortListText(), configured);

  form.SelectFirstPortEntry();  // empty list: nothing to select
  EXPECT_EQ(form.PortListText(), configured);

  form.SetPortList({"COM1", "COM3"});
  EXPECT_EQ(form.PortList(), QStringList({"COM1", "COM3"}));
  EXPECT_EQ(form.PortListText(), configured);

  form.SelectFirstPortEntry();
  EXPECT_EQ(form.PortListText(), "COM1");

  form.SetPortList({});
  EXPECT_EQ(form.PortListText(), "COM1");
  form.SetPortListText("COM3");
  EXPECT_EQ(form.PortListText(), "COM3");
}

TEST_F(MainWindowTest, RunCaptionAndEnabledStateAreShown) {
  auto* list = Find<QComboBox>("AdvOfficeComboBox1");
  auto* rescan = Find<QWidget>("AdvGlowButton1");
  form.SetRunCaption("Запустить");
  form.SetPortControlsEnabled(true);
  EXPECT_EQ(form.RunCaption(), "Запустить");
  EXPECT_TRUE(list->isEnabled());
  EXPECT_TRUE(rescan->isEnabled());
  form.SetRunCaption("Остановить");
  form.SetPortControlsEnabled(false);
  EXPECT_EQ(Text("AdvGlowButton2"), "Остановить");
  EXPECT_FALSE(list->isEnabled());
  EXPECT_FALSE(rescan->isEnabled());
}

TEST_F(MainWindowTest, ButtonsEmitTheirSignals) {
  form.SetPortControlsEnabled(true);
  QSignalSpy run(&form, &TForm1::runButtonClicked);
  QSignalSpy rescan(&form, &TForm1::rescanClicked);
  QSignalSpy test(&form, &TForm1::testClicked);
  const struct { const char* button; QSignalSpy* spy; } cases[] = {
      {"AdvGlowButton2", &run}, {"AdvGlowButton1", &rescan}, {"Button1", &test}};
  for (const auto& c : cases) {
    Find<QAbstractButton>(c.button)->click();
    EXPECT_EQ(c.spy->count(), 1) << c.button;
  }
  EXPECT_EQ(run.count() + rescan.count() + test.count(), 3);
}

TEST_F(MainWindowTest, OnlyTheOperatorsPickReportsAPortSelection) {
  QSignalSpy selected(&form, &TForm1::portSelected);
  form.SetPortControlsEnabled(true);
  form.SetPortList({"COM1", "COM3"});
  form.SelectFirstPortEntry();
  form.SetPortListText("COM3");
  EXPECT_EQ(selected.count(), 0);

  form.SetPortListText("COM1");
  QTest::keyClick(Find<QComboBox>("AdvOfficeComboBox1"), Qt::Key_Down);
  EXPECT_EQ(selected.count(), 1);
  EXPECT_EQ(form.PortListText(), "COM3");
}

}  // namespace
}  // namespace drv

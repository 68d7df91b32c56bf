#include "gui/main_window.h"

#include <QAction>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontInfo>
#include <QFontMetrics>
#include <QFrame>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>
#include <QWindowStateChangeEvent>

#include "app/backlog_monitor.h"
#include "gui/indicator_painter.h"
#include "gui/window_util.h"

// The icons live in a static library; their registration must be pulled in by hand.
static void InitDrvGuiResources() { Q_INIT_RESOURCE(drvgui); }

namespace drv {

namespace {

const QString kBandTitle = "КПО Миреол 2008 - Драйвер ПКС Ларна";
const QString kTrayHint = "Драйвер - ПКС Ларна";

constexpr int kBandHeight = 57;
constexpr int kPageButtonsTop = kBandHeight;
constexpr int kPageButtonsHeight = 78;
constexpr int kNotebookTop = kPageButtonsTop + kPageButtonsHeight;

QLabel* PlaceLabel(QWidget* page, const char* name, const QString& text, int left, int top) {
  auto* label = new QLabel(text, page);
  label->setObjectName(name);
  label->move(left, top);
  label->adjustSize();
  return label;
}

QLabel* PlaceImage(QWidget* page, const char* name, int left, int top) {
  auto* image = new QLabel(page);
  image->setObjectName(name);
  image->setGeometry(left, top, 16, 16);
  return image;
}

void SetLabelText(QLabel* label, const QString& text) {
  label->setText(text);
  label->adjustSize();
}

// Gives a label the room up to the control on its right and, when its text is wider than
// that room in the window's font, a smaller size of that font: which fonts a machine has
// decides the width, and the text must neither run under the control nor be cut.
void FitLabelBefore(QLabel* label, const QWidget* neighbour, const QFont& window_font) {
  constexpr int kGap = 3;
  constexpr int kSmallestPixelSize = 8;
  const int room = neighbour->x() - kGap - label->x();
  QFont font = window_font;
  int pixels = font.pixelSize() > 0 ? font.pixelSize() : QFontInfo(font).pixelSize();
  while (pixels > kSmallestPixelSize && QFontMetrics(font).horizontalAdvance(label->text()) > room) {
    font.setPixelSize(--pixels);
  }
  label->setFont(font);
  label->resize(room, label->sizeHint().height());
}

}  // namespace

TForm1::TForm1(QWidget* parent) : QWidget(parent) {
  InitDrvGuiResources();
  setObjectName("Form1");
  setFixedSize(kClientWidth, kClientHeight);
  setWindowIcon(QIcon(":/drvlarna/app.png"));
  // Small condensed text, so that the captions fit their places on the 447-pixel window.
  QFont font;
  font.setFamilies({"Tahoma", "DejaVu Sans Condensed", "DejaVu Sans"});
  font.setPixelSize(11);
  setFont(font);

  tray_available_ = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };

  BuildTitleBand();
  BuildPageButtons();

  notebook_ = new QStackedWidget(this);
  notebook_->setObjectName("Notebook1");
  notebook_->setGeometry(0, kNotebookTop, kClientWidth, kClientHeight - kNotebookTop);
  auto* status_page = new QWidget(notebook_);
  status_page->setObjectName("Default");
  auto* setup_page = new QWidget(notebook_);
  setup_page->setObjectName("setup");
  notebook_->addWidget(status_page);
  notebook_->addWidget(setup_page);
  BuildStatusPage(status_page);
  BuildSetupPage(setup_page);

  BuildTray();
  ApplyTexts();
  FitLabels();
  ShowPage(kStatusPage);
}

void TForm1::FitLabels() {
  FitLabelBefore(station_label_, station_image_, font());
  FitLabelBefore(server_label_, server_image_, font());
}

TForm1::~TForm1() = default;

void TForm1::BuildTitleBand() {
  title_band_ = new QLabel(this);
  title_band_->setObjectName("AdvToolBarPager1");
  title_band_->setGeometry(0, 0, kClientWidth, kBandHeight);
  title_band_->setIndent(12);
  title_band_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  title_band_->setStyleSheet(
      "QLabel#AdvToolBarPager1 { color: white; font-weight: bold; font-size: 13px;"
      " background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #3a6ea5, stop:1 #1f4e7f); }");
}

void TForm1::BuildPageButtons() {
  auto* band = new QFrame(this);
  band->setObjectName("PageButtons");
  band->setGeometry(0, kPageButtonsTop, kClientWidth, kPageButtonsHeight);
  band->setFrameShape(QFrame::StyledPanel);

  page_buttons_ = new QButtonGroup(this);
  page_buttons_->setExclusive(true);
  auto make = [&](const char* name, const QString& caption, const char* icon, int left, int id) {
    auto* button = new QToolButton(band);
    button->setObjectName(name);
    button->setText(caption);
    button->setIcon(QIcon(icon));
    button->setIconSize(QSize(32, 32));
    button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    button->setCheckable(true);
    button->setAutoRaise(true);
    button->setGeometry(left, 6, 72, 66);
    page_buttons_->addButton(button, id);
    return button;
  };
  status_button_ = make("AdvGlowButton28", "Состояние", ":/drvlarna/status.png", 8, kStatusPage);
  setup_button_ = make("AdvGlowButton47", "Настройки", ":/drvlarna/setup.png", 84, kSetupPage);
  connect(page_buttons_, &QButtonGroup::idClicked, this, &TForm1::ShowPage);
}

void TForm1::BuildStatusPage(QWidget* page) {
  station_label_ = PlaceLabel(page, "Label5", "Контроль связи со станцией", 11, 11);
  station_image_ = PlaceImage(page, "Image2", 161, 10);
  elapsed_label_ = PlaceLabel(page, "Label16", "Время с последнего сообщения", 183, 11);
  server_label_ = PlaceLabel(page, "Label17", "Связь с сервером сообщений", 262, 13);
  server_image_ = PlaceImage(page, "Image3", 419, 12);
  PlaceLabel(page, "Label9", "Дата и время запуска", 10, 38);
  start_label_ = PlaceLabel(page, "Label10", QString(), 127, 38);
  PlaceLabel(page, "Label12", "Пароль для закрытия", 10, 66);
  password_label_ = PlaceLabel(page, "Label13", QString(), 127, 66);
  backlog_label_ = new QLabel(page);
  backlog_label_->setObjectName("Label18");
  backlog_label_->setGeometry(170, 66, 269, 14);
  backlog_label_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

  memo_ = new QPlainTextEdit(page);
  memo_->setObjectName("Memo1");
  memo_->setGeometry(7, 85, 432, 100);
  memo_->setReadOnly(true);
  // The driver runs for months; the oldest lines go so that memory stays bounded.
  memo_->setMaximumBlockCount(kMemoMaxLines);
  memo_->setLineWrapMode(QPlainTextEdit::NoWrap);

  auto* test = new QPushButton("Тест", page);
  test->setObjectName("Button1");
  test->setGeometry(364, 34, 75, 19);
  test->setVisible(false);
  connect(test, &QPushButton::clicked, this, &TForm1::testClicked);
}

void TForm1::BuildSetupPage(QWidget* page) {
  auto* group = new QGroupBox("Com порт", page);
  group->setObjectName("AdvGroupBox1");
  group->setGeometry(8, 8, 431, 90);

  port_list_ = new QComboBox(group);
  port_list_->setObjectName("AdvOfficeComboBox1");
  // Editable so that the list can show the configured port even when it is not listed.
  port_list_->setEditable(true);
  port_list_->setInsertPolicy(QComboBox::NoInsert);
  port_list_->setMaxVisibleItems(8);
  port_list_->setGeometry(12, 26, 120, 24);
  port_list_->setEnabled(false);
  connect(port_list_, &QComboBox::activated, this, [this](int) { emit portSelected(); });

  run_button_ = new QPushButton("Остановить", group);
  run_button_->setObjectName("AdvGlowButton2");
  run_button_->setGeometry(144, 24, 120, 28);
  connect(run_button_, &QPushButton::clicked, this, &TForm1::runButtonClicked);

  rescan_button_ = new QPushButton("Сканировать заново", group);
  rescan_button_->setObjectName("AdvGlowButton1");
  rescan_button_->setGeometry(276, 24, 143, 28);
  rescan_button_->setEnabled(false);
  connect(rescan_button_, &QPushButton::clicked, this, &TForm1::rescanClicked);
}

void TForm1::BuildTray() {
  tray_menu_ = new QMenu(this);
  tray_menu_->setObjectName("AdvPopupMenu1");
  QAction* restore = tray_menu_->addAction("Восстановить");
  restore->setObjectName("N4");
  tray_menu_->addSeparator();
  QAction* close = tray_menu_->addAction("Закрыть");
  close->setObjectName("N6");
  connect(restore, &QAction::triggered, this, &TForm1::Restore);
  connect(close, &QAction::triggered, this, &TForm1::closeRequested);

  tray_ = new QSystemTrayIcon(QIcon(":/drvlarna/app.png"), this);
  tray_->setObjectName("TrayIcon1");
  tray_->setContextMenu(tray_menu_);
  connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason why) {
    if (why == QSystemTrayIcon::DoubleClick) Restore();
  });
  if (QSystemTrayIcon::isSystemTrayAvailable()) tray_->show();
}

void TForm1::ApplyTexts() {
  const QString tail = suffix_.isEmpty() ? QString() : " - " + suffix_;
  setWindowTitle(QString::fromUtf8(kApplicationTitle) + tail);
  title_band_->setText(kBandTitle + tail);
  tray_->setToolTip(kTrayHint + tail + (backlog_hint_.isEmpty() ? QString() : "\n" + backlog_hint_));
}

void TForm1::SetBacklogText(const QString& text) {
  backlog_label_->setText(text);
  backlog_label_->setToolTip(text);
  const QString hint = text == QString::fromUtf8(kBacklogEmptyText) ? QString() : text;
  if (hint == backlog_hint_) return;
  backlog_hint_ = hint;
  ApplyTexts();
}

QString TForm1::BacklogText() const { return backlog_label_->text(); }

void TForm1::SetCaptionSuffix(const QString& caption) {
  if (caption.isEmpty() || !suffix_.isEmpty()) return;
  suffix_ = caption;
  ApplyTexts();
}

void TForm1::SetStationIndicator(bool ok, int phase) {
  station_image_->setPixmap(QPixmap::fromImage(PaintIndicator(ok, phase)));
}

void TForm1::SetServerIndicator(bool connected, int phase) {
  server_image_->setPixmap(QPixmap::fromImage(PaintIndicator(connected, phase)));
}

void TForm1::SetElapsedText(const QString& text) { SetLabelText(elapsed_label_, text); }
void TForm1::SetStartTime(const QString& text) { SetLabelText(start_label_, text); }
void TForm1::SetClosePassword(const QString& text) { SetLabelText(password_label_, text); }

void TForm1::AppendLog(const QString& line) {
  memo_->appendPlainText(line);
  QScrollBar* bar = memo_->verticalScrollBar();
  bar->setValue(bar->maximum());
}

void TForm1::ShowPage(int page) {
  if (page != kStatusPage && page != kSetupPage) return;
  notebook_->setCurrentIndex(page);
  (page == kStatusPage ? status_button_ : setup_button_)->setChecked(true);
}

int TForm1::CurrentPage() const { return notebook_->currentIndex(); }

void TForm1::SetRunCaption(const QString& caption) { run_button_->setText(caption); }
QString TForm1::RunCaption() const { return run_button_->text(); }

void TForm1::SetPortControlsEnabled(bool enabled) {
  rescan_button_->setEnabled(enabled);
  port_list_->setEnabled(enabled);
}

void TForm1::SetPortList(const QStringList& ports) {
  const QString text = port_list_->currentText();
  const QSignalBlocker quiet(port_list_);
  port_list_->clear();
  port_list_->addItems(ports);
  // Adding to an empty list makes its first entry current; the list text must not move.
  port_list_->setCurrentIndex(-1);
  port_list_->setEditText(text);
}

QStringList TForm1::PortList() const {
  QStringList ports;
  for (int i = 0; i < port_list_->count(); ++i) ports << port_list_->itemText(i);
  return ports;
}

QString TForm1::PortListText() const { return port_list_->currentText(); }

void TForm1::SetPortListText(const QString& text) {
  const QSignalBlocker quiet(port_list_);
  const int index = port_list_->findText(text);
  port_list_->setCurrentIndex(index);
  port_list_->setEditText(text);
}

void TForm1::SelectFirstPortEntry() {
  if (port_list_->count() == 0) return;
  const QSignalBlocker quiet(port_list_);
  port_list_->setCurrentIndex(0);
}

void TForm1::Restore() {
  setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
  showNormal();
  raise();
  activateWindow();
}

void TForm1::ForceClose() {
  close_allowed_ = true;
  close();
}

void TForm1::SetTrayAvailabilityProbe(std::function<bool()> probe) {
  tray_available_ = std::move(probe);
}

void TForm1::closeEvent(QCloseEvent* event) {
  if (close_allowed_) {
    tray_->hide();
    event->accept();
    return;
  }
  // Closing needs the password; the owner decides and calls ForceClose.
  event->ignore();
  emit closeRequested();
}

void TForm1::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::FontChange && station_label_ != nullptr) FitLabels();
  if (event->type() != QEvent::WindowStateChange || !isMinimized()) return;
  if (!tray_available_ || !tray_available_()) return;  // without a tray, hiding would lose the window
  // Hiding from inside the state change confuses some window managers; do it right after.
  QTimer::singleShot(0, this, [this] {
    if (isMinimized()) hide();
  });
}

void TForm1::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!centred_) {
    centred_ = true;
    CenterOnScreen(*this);
  }
}

}  // namespace drv

#include "gui/message_dialog.h"

#include <QFont>
#include <QLabel>
#include <QPushButton>

#include "gui/window_util.h"

namespace drv {

namespace {
constexpr int kLabelTop = 10;
constexpr int kLabelHeight = 22;
constexpr int kButtonTop = 38;
constexpr int kButtonHeight = 25;
}  // namespace

MessageDialogGeometry ComputeMessageDialogGeometry(int text_length) {
  MessageDialogGeometry g;
  g.dialog_width = text_length * Tadvsm::kPixelsPerCharacter;
  g.label_left = 2;
  g.label_width = g.dialog_width;
  // C++ division truncates toward zero, which is the integer part also for short texts.
  g.button_left = (g.dialog_width - Tadvsm::kButtonWidth) / 2;
  return g;
}

Tadvsm::Tadvsm(QWidget* parent) : QDialog(parent) {
  setObjectName("advsm");
  setWindowTitle("advsm");
  setModal(true);

  label_ = new QLabel(this);
  label_->setObjectName("Label1");
  QFont font;
  // Times New Roman where it exists; elsewhere a serif with Cyrillic glyphs narrow enough
  // for the 10 pixels per character the dialog allows.
  font.setFamilies({"Times New Roman", "Liberation Serif", "DejaVu Serif Condensed", "DejaVu Serif"});
  font.setPixelSize(16);
  font.setBold(true);
  label_->setFont(font);
  label_->setAlignment(Qt::AlignCenter);

  button_ = new QPushButton("ОК", this);
  button_->setObjectName("Button1");
  button_->setDefault(true);
  connect(button_, &QPushButton::clicked, this, &QDialog::accept);

  PrepareMessage(QString());
}

void Tadvsm::PrepareMessage(const QString& text) {
  geometry_ = ComputeMessageDialogGeometry(static_cast<int>(text.size()));
  label_->setText(text);
  label_->setGeometry(geometry_.label_left, kLabelTop, geometry_.label_width, kLabelHeight);
  button_->setGeometry(geometry_.button_left, kButtonTop, kButtonWidth, kButtonHeight);
  // A window cannot be zero pixels wide; Esc and the close box still end an empty message.
  setFixedSize(qMax(geometry_.dialog_width, 1), kHeight);
  label_->update();
}

void Tadvsm::ShowMessageDialog(const QString& text) {
  PrepareMessage(text);
  CenterOnScreen(*this);
  exec();
}

}  // namespace drv

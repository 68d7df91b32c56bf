#include "gui/password_dialog.h"

#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>

#include "gui/window_util.h"

namespace drv {

namespace {

// Password echo uses a platform character (often a bullet); the operators know '*'.
class StarEchoStyle : public QProxyStyle {
 public:
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* result) const override {
    if (hint == QStyle::SH_LineEdit_PasswordCharacter) return '*';
    return QProxyStyle::styleHint(hint, option, widget, result);
  }
};

}  // namespace

TForm2::TForm2(QWidget* parent) : QDialog(parent) {
  setObjectName("Form2");
  setWindowTitle("Закрытый доступ");
  setModal(true);
  setFixedSize(281, 93);

  auto* prompt = new QLabel("Введите пароль для доступа", this);
  prompt->setObjectName("Label1");
  prompt->setGeometry(8, 8, 265, 17);

  entry_ = new QLineEdit(this);
  entry_->setObjectName("MaskEdit1");
  // Five optional digits. Not a QLineEdit input mask: in password mode Qt echoes the mask's
  // blank positions too, so an empty entry would look full ("*****").
  entry_->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]{0,5}"), entry_));
  entry_->setMaxLength(5);
  entry_->setEchoMode(QLineEdit::Password);
  auto* style = new StarEchoStyle;
  style->setParent(entry_);  // the widget does not own its style
  entry_->setStyle(style);
  entry_->setGeometry(8, 28, 265, 22);

  auto* ok = new QPushButton("ОК", this);
  ok->setObjectName("BitBtn1");
  ok->setDefault(true);
  ok->setGeometry(110, 60, 78, 25);
  connect(ok, &QPushButton::clicked, this, &TForm2::OnOk);

  auto* cancel = new QPushButton("Отмена", this);
  cancel->setObjectName("BitBtn2");
  cancel->setGeometry(195, 60, 78, 25);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

int TForm2::Ask(const QString& close_password) {
  expected_ = close_password;
  CenterOnScreen(*this);
  const int result = exec();
  // reject() (Отмена, Esc, the close box) ends exec() with 0.
  return result == kOk || result == kWrong ? result : kCancelled;
}

QString TForm2::EnteredText() const { return entry_->text(); }

void TForm2::OnOk() {
  if (expected_.isEmpty() || EnteredText() == expected_) {
    done(kOk);
  } else {
    done(kWrong);
  }
}

void TForm2::SelectEntry() {
  entry_->setFocus(Qt::ActiveWindowFocusReason);
  entry_->selectAll();
  entry_->update();
}

bool TForm2::event(QEvent* event) {
  if (event->type() == QEvent::WindowActivate) SelectEntry();
  return QDialog::event(event);
}

void TForm2::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // Not every platform activates a dialog when it is shown (offscreen, some window managers).
  SelectEntry();
}

}  // namespace drv

#pragma once

#include <QDialog>
#include <QString>

class QLabel;
class QLineEdit;
class QPushButton;

namespace drv {

// TForm2: the modal close-password dialog (objectName "Form2", title "Закрытый доступ",
// fixed 281 x 93). Created once and reused; the entry is never cleared, so a second use
// starts with the previous entry, all of it selected.
//   Children: QLabel "Label1", QLineEdit "MaskEdit1" (up to five digits, each echoed as '*';
//   empty positions stay blank),
//   QPushButton "BitBtn1" "ОК" (default), QPushButton "BitBtn2" "Отмена".
class TForm2 : public QDialog {
  Q_OBJECT
 public:
  // Results of Ask.
  static constexpr int kOk = 1;
  static constexpr int kCancelled = 2;
  static constexpr int kWrong = 4;

  explicit TForm2(QWidget* parent = nullptr);

  // Shows the dialog modally, centred on the screen, and returns kOk when "ОК" is pressed
  // with the entry equal to close_password (or when close_password is empty), kWrong when
  // "ОК" is pressed with another entry, kCancelled for "Отмена", Esc or the close box.
  int Ask(const QString& close_password);

  // The digits typed into the entry.
  QString EnteredText() const;

 protected:
  bool event(QEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void OnOk();
  void SelectEntry();

  QLineEdit* entry_ = nullptr;
  QString expected_;
};

}  // namespace drv

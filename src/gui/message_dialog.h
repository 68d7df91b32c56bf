#pragma once

#include <QDialog>
#include <QString>

class QLabel;
class QPushButton;

namespace drv {

// Where the message dialog puts its parts for a text of a given length. The dialog grows
// with the text: 10 pixels per character (a 12-point font less 2), the label spans the
// whole width from x = 2 and the "ОК" button (72 pixels wide) is centred under it.
struct MessageDialogGeometry {
  int dialog_width = 0;
  int label_left = 0;
  int label_width = 0;
  int button_left = 0;  // integer part of (width - 72) / 2; negative for very short texts
};

MessageDialogGeometry ComputeMessageDialogGeometry(int text_length);

// Tadvsm: the modal message dialog (objectName "advsm", title "advsm") for the operator's
// port and password messages. Created once and reused.
//   Children: QLabel "Label1" (bold Times New Roman, 16 px, centred), QPushButton "Button1" "ОК".
class Tadvsm : public QDialog {
  Q_OBJECT
 public:
  explicit Tadvsm(QWidget* parent = nullptr);

  // Shows the text modally, centred on the screen; returns when the operator presses "ОК"
  // or closes the dialog.
  void ShowMessageDialog(const QString& text);

  // The first half of ShowMessageDialog: puts the text in and lays the dialog out for it,
  // without showing anything. Separate so that the layout can be checked.
  void PrepareMessage(const QString& text);

  // The geometry applied by the last PrepareMessage.
  const MessageDialogGeometry& Geometry() const { return geometry_; }

  static constexpr int kButtonWidth = 72;
  static constexpr int kPixelsPerCharacter = 10;
  static constexpr int kHeight = 72;

 private:
  QLabel* label_ = nullptr;
  QPushButton* button_ = nullptr;
  MessageDialogGeometry geometry_;
};

}  // namespace drv

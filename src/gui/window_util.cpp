#include "gui/window_util.h"

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QWidget>

namespace drv {

void CenterOnScreen(QWidget& widget) {
  QScreen* screen = widget.screen();
  if (screen == nullptr) screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  const QRect area = screen->availableGeometry();
  QRect frame = widget.frameGeometry();
  // Before the first show the frame is not known yet; the client size is close enough.
  if (!frame.isValid()) frame = QRect(QPoint(0, 0), widget.size());
  frame.moveCenter(area.center());
  widget.move(frame.topLeft());
}

bool RenderToPng(QWidget& widget, const QString& path) {
  widget.ensurePolished();
  const QPixmap picture = widget.grab();
  if (picture.isNull()) return false;
  return picture.save(path, "PNG");
}

}  // namespace drv

#include "gui/indicator_painter.h"

#include <QPainter>
#include <QPen>

namespace drv {

QImage PaintIndicator(bool link_ok, int phase) {
  QImage image(16, 16, QImage::Format_RGB32);
  image.fill(Qt::white);
  const QColor colour = link_ok ? QColor(0, 128, 0) : QColor(255, 0, 0);

  // Frame from (0,3) to (16,15), right and bottom exclusive, 2 pixels wide, lying inside
  // that rectangle: rows 3-4 and 13-14, columns 0-1 and 14-15.
  {
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour);
    const int left = 0, top = 3, right = 15, bottom = 14;  // inclusive edges
    painter.drawRect(left, top, right - left + 1, 2);           // top, 2 rows
    painter.drawRect(left, bottom - 1, right - left + 1, 2);    // bottom, 2 rows
    painter.drawRect(left, top, 2, bottom - top + 1);           // left, 2 columns
    painter.drawRect(right - 1, top, 2, bottom - top + 1);      // right, 2 columns
  }

  // Five 1-pixel stripes from y 5 to 11 inclusive; columns above 16 wrap; 16 is off the picture.
  for (int i = 0; i < 5; ++i) {
    int column = phase + i;
    if (column > 16) column -= 16;
    if (column < 0 || column > 15) continue;
    for (int y = 5; y < 12; ++y) image.setPixelColor(column, y, colour);
  }
  return image;
}

}  // namespace drv

#pragma once

#include <QString>

class QWidget;

namespace drv {

// Moves a top-level widget so that it sits in the middle of the available area of the
// screen it is on (the primary screen before it has been shown).
void CenterOnScreen(QWidget& widget);

// Renders the widget with its children (shown or not) into a PNG file; true on success.
// Used for the driver's screenshot option and for checking the window's look.
bool RenderToPng(QWidget& widget, const QString& path);

}  // namespace drv

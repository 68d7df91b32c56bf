#pragma once

#include <QString>

namespace drv {

// Runs the operator window until it is closed with the close password or the process gets
// SIGINT or SIGTERM. With a screenshot path the window starts, settles for about a second,
// is rendered into that PNG file and closes again without asking; the exit code then tells
// whether the file was written.
int RunWindow(int argc, char** argv, const QString& screenshot_path = QString());

}  // namespace drv

#include "gui/window_program.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <cstdio>

#include "gui/window_controller.h"
#include "gui/window_util.h"

namespace drv {

namespace {
constexpr int kScreenshotSettleMs = 1100;  // the first ticks and the link's first log line
}  // namespace

int RunWindow(int argc, char** argv, const QString& screenshot_path) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(kApplicationTitle);
  // The window hides into the tray; only the closing steps end the program.
  QApplication::setQuitOnLastWindowClosed(false);

  MainWindowController controller;
  QObject::connect(&controller, &MainWindowController::closed, &app, &QCoreApplication::quit,
                   Qt::QueuedConnection);
  // The close password guards against the operator's clicks, not against the system.
  if (!CallOnTerminationSignal(&app, [&controller] { controller.Terminate(); })) return 1;

  controller.Start();
  controller.form().show();

  if (!screenshot_path.isEmpty()) {
    QElapsedTimer settled;
    settled.start();
    while (settled.elapsed() < kScreenshotSettleMs && !controller.IsClosed()) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    const bool saved = RenderToPng(controller.form(), screenshot_path);
    if (!saved) std::fprintf(stderr, "drvlarna: cannot write %s\n", screenshot_path.toLocal8Bit().constData());
    controller.Terminate();
    return saved ? 0 : 1;
  }

  const int code = QApplication::exec();
  controller.Terminate();
  return code;
}

}  // namespace drv

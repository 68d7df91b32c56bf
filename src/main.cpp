#include <QString>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/version.h"
#include "gui/window_program.h"
#include "headless.h"

namespace {

constexpr const char kUsage[] =
    "usage: drvlarna [--headless | --screenshot FILE.png]\n"
    "       drvlarna --help | --version\n"
    "\n"
    "Driver for the \"ПКС Ларна\" alarm receiver: reads event lines from the serial port and\n"
    "delivers them to the message server, keeping them in spool files while it is away.\n"
    "\n"
    "Options:\n"
    "  --headless          run without a window until SIGINT or SIGTERM (for a service);\n"
    "                      the operator log goes to standard output\n"
    "  --screenshot FILE   start the window, save it as a PNG after about a second, end\n"
    "  --help              show this text\n"
    "  --version           show the version\n"
    "\n"
    "Files, all in the current folder: drvlarna.ini (configuration, read at start; without\n"
    "it the defaults apply), drvlarna.log (hex log of the receiver's data), drvlarna-errors.log\n"
    "(exception report), error.txt (error list), the spool files *.dd8 under PathForSoob and\n"
    "the metrics file named by MetricsFile. Under systemd the unit drvlarna.service (or\n"
    "drvlarna@NAME.service) runs it in /var/lib/drvlarna (or /var/lib/drvlarna/NAME).\n";

bool HasDisplay() {
  for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  bool headless = false;
  QString screenshot;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--headless") == 0) {
      headless = true;
    } else if (std::strcmp(arg, "--screenshot") == 0 && i + 1 < argc) {
      screenshot = QString::fromLocal8Bit(argv[++i]);
    } else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (std::strcmp(arg, "--version") == 0) {
      std::printf("drvlarna %s\n", drv::kFileVersion);
      return 0;
    } else if (std::strcmp(arg, "--screenshot") == 0) {
      std::fprintf(stderr, "drvlarna: --screenshot needs a file name\n\n%s", kUsage);
      return 2;
    } else {
      std::fprintf(stderr, "drvlarna: unknown option %s\n\n%s", arg, kUsage);
      return 2;
    }
  }
  if (headless) return drv::RunHeadless(argc, argv);
  // Qt would abort with a core dump when it finds no display to open.
  if (!HasDisplay()) {
    std::fprintf(stderr,
                 "drvlarna: no display (DISPLAY and WAYLAND_DISPLAY are unset); "
                 "use --headless to run without a window\n");
    return 1;
  }
  return drv::RunWindow(argc, argv, screenshot);
}

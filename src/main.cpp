#include <QString>
#include <cstdio>
#include <cstring>

#include "gui/window_program.h"
#include "headless.h"

int main(int argc, char** argv) {
  QString screenshot;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--headless") == 0) return drv::RunHeadless(argc, argv);
    if (std::strcmp(argv[i], "--screenshot") == 0) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "usage: drvlarna [--headless | --screenshot FILE.png]\n");
        return 2;
      }
      screenshot = QString::fromLocal8Bit(argv[++i]);
    }
  }
  return drv::RunWindow(argc, argv, screenshot);
}

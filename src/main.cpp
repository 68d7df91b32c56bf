#include <cstring>

#include "headless.h"

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--headless") == 0) return drv::RunHeadless(argc, argv);
  }
  // Until the window is wired in, the driver runs headless by default.
  return drv::RunHeadless(argc, argv);
}

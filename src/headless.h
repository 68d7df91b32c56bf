#pragma once

namespace drv {
// Runs the driver without a window until SIGINT or SIGTERM. Operator log lines go to stdout.
int RunHeadless(int argc, char** argv);
}  // namespace drv

#include "headless.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

#include "app/version.h"
#include "platform/driver_host.h"

namespace drv {
namespace {

int g_signal_fds[2] = {-1, -1};

void OnTerminationSignal(int) {
  const char byte = 1;
  [[maybe_unused]] auto ignored = ::write(g_signal_fds[0], &byte, 1);
}

}  // namespace

int RunHeadless(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName("drvlarna");

  // Signals only write a byte; the event loop turns it into an orderly quit.
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signal_fds) != 0) {
    std::perror("socketpair");
    return 1;
  }
  QSocketNotifier notifier(g_signal_fds[1], QSocketNotifier::Read);
  QObject::connect(&notifier, &QSocketNotifier::activated, &app, [&] {
    char byte;
    [[maybe_unused]] auto ignored = ::read(g_signal_fds[1], &byte, 1);
    QCoreApplication::quit();
  });
  struct sigaction action{};
  action.sa_handler = OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  DriverHost host({
      .log_line = [](const std::string& line) { std::fprintf(stdout, "%s\n", line.c_str()); std::fflush(stdout); },
      .server_indicator = {},
      .station_indicator = {},
      .after_tick = {},
  });
  const Driver::StartState state = host.Start();
  const Settings& settings = host.driver().settings();
  std::fprintf(stderr, "drvlarna %s headless: port %s %s, server link %s\n", kFileVersion, settings.ComPort.c_str(),
               state.port_open ? "open" : (state.port_tried ? "failed to open" : "not configured"),
               host.driver().HasServerLink() ? "on" : "off");

  const int code = QCoreApplication::exec();
  host.Shutdown();
  std::fprintf(stderr, "drvlarna stopped\n");
  return code;
}

}  // namespace drv

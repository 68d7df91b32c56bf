#include "headless.h"

#include <QCoreApplication>
#include <cstdio>

#include "base/date_time.h"
#include "base/version.h"
#include "platform/driver_host.h"

namespace drv {

int RunHeadless(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName("drvlarna");

  // A signal becomes an orderly quit from the event loop.
  if (!CallOnTerminationSignal(&app, [] { QCoreApplication::quit(); })) return 1;

  DriverHost host({
      .log_line = [](const std::string& line) { std::fprintf(stdout, "%s\n", line.c_str()); std::fflush(stdout); },
      .server_indicator = {},
      .station_indicator = {},
      .after_tick = {},
  });
  host.OnBacklogAnnounced = [&host](const std::string& text) {
    std::fprintf(stdout, "%s %s\n", FormatDateAndTime(host.clock().Now()).c_str(), text.c_str());
    std::fflush(stdout);
  };
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

#include "options.h"

#include <charconv>
#include <string_view>

#include "wire/message_types.h"

namespace drv::msgserver {

const char* const kUsage =
    "usage: msgserver [options]\n"
    "  --address A            address to listen on (default 127.0.0.1)\n"
    "  --port P               port to listen on (default 12543, 0 = any free port)\n"
    "Misbehaviour for tests; N counts the frames of the current connection from 1:\n"
    "  --silent               never answer\n"
    "  --silent-after N       answer the first N frames only\n"
    "  --poll-every N         answer every N-th frame with mtPoll\n"
    "  --command C --after N  answer frame N (default 1) with C: disconnect, droplink, accessdenied\n"
    "  --bad-mark-after N     answer frame N with frame mark 0x00\n"
    "  --huge-length-after N  answer frame N with a header announcing 0x7FFFFFF0 bytes\n"
    "  --cut-body-after N     answer frame N with a header announcing 100 bytes, send 10, then nothing more\n"
    "  --no-ack               answer stored events and link states with keep-alives\n"
    "  --close-after N        close the connection after frame N\n"
    "  --exit-after N         exit after N frames in all\n"
    "  --crash-after N        exit at once on frame N in all, without answering it\n"
    "  --drip-after N         answer frame N one byte every 500 ms\n"
    "  --poison-object N      close the connection, unanswered, on every event record for object N\n"
    "For benchmarks:\n"
    "  --timing               before a frame's line, print \"turn us=N\": microseconds from the\n"
    "                         reply to the previous frame written to this frame read (not after\n"
    "                         a frame left unanswered, nor for a frame read before that reply)\n"
    "SIGUSR1 turns answering off and on again (a hung server, a pulled cable); frames that get\n"
    "no answer are followed by a line \"unanswered\".\n";

namespace {

bool ParseInt(std::string_view text, int low, int high, int& out) {
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high) return false;
  out = value;
  return true;
}

}  // namespace

std::optional<ServerOptions> ParseOptions(int argc, const char* const* argv, std::string& error) {
  ServerOptions o;
  struct CountOption {
    std::string_view name;
    int ServerOptions::*field;
  };
  const CountOption counts[] = {
      {"--silent-after", &ServerOptions::silent_after},
      {"--poll-every", &ServerOptions::poll_every},
      {"--after", &ServerOptions::command_after},
      {"--bad-mark-after", &ServerOptions::bad_mark_after},
      {"--huge-length-after", &ServerOptions::huge_length_after},
      {"--cut-body-after", &ServerOptions::cut_body_after},
      {"--close-after", &ServerOptions::close_after},
      {"--exit-after", &ServerOptions::exit_after},
      {"--crash-after", &ServerOptions::crash_after},
      {"--drip-after", &ServerOptions::drip_after},
      {"--poison-object", &ServerOptions::poison_object},
  };

  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    std::string_view value;
    bool has_value = false;
    if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
      has_value = true;
    }
    // Takes the option's value from "--x=v" or from the next argument.
    auto next_value = [&]() -> bool {
      if (has_value) return true;
      if (i + 1 >= argc) return false;
      value = argv[++i];
      return true;
    };

    if (arg == "--help" || arg == "-h") {
      o.help = true;
    } else if (arg == "--silent") {
      o.silent = true;
    } else if (arg == "--no-ack") {
      o.no_ack = true;
    } else if (arg == "--timing") {
      o.timing = true;
    } else if (arg == "--address") {
      if (!next_value() || value.empty()) {
        error = "--address needs an address";
        return std::nullopt;
      }
      o.address = std::string(value);
    } else if (arg == "--port") {
      if (!next_value() || !ParseInt(value, 0, 65535, o.port)) {
        error = "--port needs a number from 0 to 65535";
        return std::nullopt;
      }
    } else if (arg == "--command") {
      if (!next_value()) value = {};
      if (value == "disconnect") {
        o.command = mtDisconnect;
      } else if (value == "droplink") {
        o.command = mtDropLink;
      } else if (value == "accessdenied") {
        o.command = mtAccessDenied;
      } else {
        error = "--command needs disconnect, droplink or accessdenied";
        return std::nullopt;
      }
    } else {
      const CountOption* count = nullptr;
      for (const auto& c : counts) {
        if (arg == c.name) count = &c;
      }
      if (count == nullptr) {
        error = "unknown option " + std::string(argv[i]);
        return std::nullopt;
      }
      if (!next_value() || !ParseInt(value, 1, 0x7FFFFFFF, o.*(count->field))) {
        error = std::string(count->name) + " needs a number of at least 1";
        return std::nullopt;
      }
    }
    if (has_value && (arg == "--help" || arg == "-h" || arg == "--silent" || arg == "--no-ack" ||
                      arg == "--timing")) {
      error = std::string(arg) + " takes no value";
      return std::nullopt;
    }
  }
  return o;
}

}  // namespace drv::msgserver

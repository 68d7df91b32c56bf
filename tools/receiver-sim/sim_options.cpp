#include "sim_options.h"

#include <charconv>
#include <cstdlib>
#include <string_view>

namespace drv::receiversim {

const char* const kSimUsage =
    "usage: receiver-sim [options]\n"
    "Plays the alarm receiver: sends event lines \"R A800\" + account + code + CR LF on a\n"
    "pseudo-terminal of its own (first stdout line: \"device /dev/pts/N\") or on --device.\n"
    "  --device PATH          write to this serial device or path instead\n"
    "  --link PATH            keep PATH a symlink to the current pseudo-terminal\n"
    "  --rate N               event lines per second (default 1, 0 = no pacing)\n"
    "  --count N              send N event lines, then end (default endless)\n"
    "  --duration S           send for S seconds, then end\n"
    "  --file F               send the lines of F (\"-\" = stdin), CR LF added to each\n"
    "  --account A[,B...]     five-digit accounts, cycled (default 00001 counting up)\n"
    "  --first-account N      first account when counting up (default 1)\n"
    "  --code C[,D...]        two-character event codes, cycled (default 67)\n"
    "  --garbage N            N junk bytes before every line, the last a line feed\n"
    "  --long-lines           every 10th line on the wire is 1000 bytes of junk\n"
    "  --split                write every line in two pieces, --split-ms apart (default 5)\n"
    "  --split-ms M\n"
    "  --pause-ms M --pause-every K   be silent M ms after every K event lines\n"
    "  --close-after N        hang up the line after N event lines (a pulled adapter)\n"
    "  --reopen-after-ms M    then open a new pseudo-terminal after M ms and go on\n"
    "                         (the name changes; --link keeps one path pointing to it)\n"
    "  --linger-ms M          keep the line open M ms after the last line (default 1000)\n"
    "  --hold                 keep the line open after the last line until SIGINT/SIGTERM\n"
    "  --wait-usr1            send the first line only after SIGUSR1 (the reader is ready)\n"
    "  --seed N               seed of the junk bytes and split points (default 1)\n"
    "  --verbose              one stdout line per line sent\n";

namespace {

template <typename T>
bool ParseNumber(std::string_view text, T low, T high, T& out) {
  T value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high) return false;
  out = value;
  return true;
}

bool ParseSeconds(std::string_view text, double& out) {
  const std::string copy(text);
  char* end = nullptr;
  const double value = std::strtod(copy.c_str(), &end);
  if (copy.empty() || end != copy.c_str() + copy.size() || !(value >= 0) || value > 1e6) return false;
  out = value;
  return true;
}

std::vector<std::string> SplitList(std::string_view text) {
  std::vector<std::string> items;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    items.emplace_back(text.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
    if (comma == std::string_view::npos) return items;
    start = comma + 1;
  }
}

bool AllDigits(const std::string& text) {
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

std::string EventLine(const std::string& account, const std::string& code) {
  return "R A800" + account + code + "\r\n";
}

std::optional<SimOptions> ParseSimOptions(int argc, const char* const* argv, std::string& error) {
  SimOptions o;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    std::string_view value;
    bool has_value = false;
    if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
      has_value = true;
    }
    auto next_value = [&]() -> bool {
      if (has_value) return true;
      if (i + 1 >= argc) return false;
      value = argv[++i];
      return true;
    };
    auto fail = [&](const std::string& why) -> std::optional<SimOptions> {
      error = std::string(arg) + " " + why;
      return std::nullopt;
    };
    auto flag = [&](bool& field) -> bool {
      field = true;
      return !has_value;
    };

    if (arg == "--help" || arg == "-h") {
      if (!flag(o.help)) return fail("takes no value");
    } else if (arg == "--long-lines") {
      if (!flag(o.long_lines)) return fail("takes no value");
    } else if (arg == "--split") {
      if (!flag(o.split)) return fail("takes no value");
    } else if (arg == "--hold") {
      if (!flag(o.hold)) return fail("takes no value");
    } else if (arg == "--wait-usr1") {
      if (!flag(o.wait_usr1)) return fail("takes no value");
    } else if (arg == "--verbose" || arg == "-v") {
      if (!flag(o.verbose)) return fail("takes no value");
    } else if (!next_value()) {
      return fail(arg.starts_with("--") ? "needs a value" : "is not an option");
    } else if (arg == "--device") {
      if (value.empty()) return fail("needs a path");
      o.device = value;
    } else if (arg == "--link") {
      if (value.empty()) return fail("needs a path");
      o.link = value;
    } else if (arg == "--file") {
      if (value.empty()) return fail("needs a file name or -");
      o.file = value;
    } else if (arg == "--rate") {
      if (!ParseSeconds(value, o.rate)) return fail("needs a number of lines per second");
    } else if (arg == "--duration") {
      if (!ParseSeconds(value, o.duration)) return fail("needs a number of seconds");
    } else if (arg == "--count") {
      if (!ParseNumber(value, 1L, 1000000000L, o.count)) return fail("needs a number of at least 1");
    } else if (arg == "--close-after") {
      if (!ParseNumber(value, 1L, 1000000000L, o.close_after)) return fail("needs a number of at least 1");
    } else if (arg == "--first-account") {
      if (!ParseNumber(value, 0L, 99999L, o.first_account)) return fail("needs a number from 0 to 99999");
    } else if (arg == "--account") {
      o.accounts = SplitList(value);
      for (const auto& a : o.accounts) {
        if (a.size() != 5 || !AllDigits(a)) return fail("needs five-digit accounts");
      }
    } else if (arg == "--code") {
      o.codes = SplitList(value);
      for (const auto& c : o.codes) {
        if (c.size() != 2) return fail("needs two-character codes");
      }
    } else {
      struct IntOption {
        std::string_view name;
        int SimOptions::*field;
        int low;
      };
      static constexpr IntOption kInts[] = {
          {"--garbage", &SimOptions::garbage, 0},       {"--split-ms", &SimOptions::split_ms, 0},
          {"--pause-ms", &SimOptions::pause_ms, 0},     {"--pause-every", &SimOptions::pause_every, 1},
          {"--reopen-after-ms", &SimOptions::reopen_after_ms, 0}, {"--linger-ms", &SimOptions::linger_ms, 0},
      };
      const IntOption* found = nullptr;
      for (const auto& option : kInts) {
        if (arg == option.name) found = &option;
      }
      if (found != nullptr) {
        if (!ParseNumber(value, found->low, 100000000, o.*(found->field))) return fail("needs a number");
      } else if (arg == "--seed") {
        if (!ParseNumber(value, 0u, 0xFFFFFFFFu, o.seed)) return fail("needs a number");
      } else {
        error = "unknown option " + std::string(argv[i]);
        return std::nullopt;
      }
    }
  }
  if (o.reopen_after_ms >= 0 && o.close_after == 0) {
    error = "--reopen-after-ms needs --close-after";
    return std::nullopt;
  }
  if (o.reopen_after_ms >= 0 && !o.device.empty()) {
    error = "--reopen-after-ms works on a pseudo-terminal of our own, not with --device";
    return std::nullopt;
  }
  return o;
}

}  // namespace drv::receiversim

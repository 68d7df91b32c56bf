#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace drv::receiversim {

// What the simulated receiver sends and how it treats its line. 0 switches a count option off.
struct SimOptions {
  std::string device;  // write to this path instead of a pseudo-terminal of our own
  std::string link;    // keep this path a symlink to the current pseudo-terminal
  double rate = 1.0;   // event lines per second; 0 = as fast as the line takes them
  long count = 0;      // event lines to send; 0 = no limit
  double duration = 0; // seconds to send for; 0 = no limit
  std::string file;    // send these lines instead of generated ones ("-" = stdin)
  std::vector<std::string> accounts;  // five digits each, cycled; empty = counting up
  long first_account = 1;
  std::vector<std::string> codes{"67"};  // two characters each, cycled
  int garbage = 0;        // junk bytes before every line, the last of them a line feed
  bool long_lines = false;  // every 10th line on the wire is 1000 bytes of junk
  bool split = false;       // every line goes out in two writes
  int split_ms = 5;
  int pause_ms = 0;
  int pause_every = 0;
  long close_after = 0;     // hang up after this many event lines
  int reopen_after_ms = -1; // then, after this long, a new pseudo-terminal (needs no --device)
  int linger_ms = 1000;     // time the line stays open after the last line
  bool hold = false;        // keep the line open after the last line until a signal
  bool wait_usr1 = false;   // send nothing until SIGUSR1 (the reader has opened its side)
  unsigned seed = 1;
  bool verbose = false;
  bool help = false;
};

// Parses argv; on a bad argument returns nothing and says why in `error`.
std::optional<SimOptions> ParseSimOptions(int argc, const char* const* argv, std::string& error);

// The receiver's event line for an account (five digits) and an event code (two characters):
// "R A800" + account + code + CR LF, 15 bytes.
std::string EventLine(const std::string& account, const std::string& code);

extern const char* const kSimUsage;

}  // namespace drv::receiversim

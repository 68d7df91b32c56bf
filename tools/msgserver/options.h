#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace drv::msgserver {

// What the server does, and which misbehaviour it shows to test a client. Frame counts start
// at 1 and, except for exit_after, count on the current connection only, so a client that
// reconnects meets the same behaviour again. 0 switches a count option off.
struct ServerOptions {
  std::string address = "127.0.0.1";
  int port = 12543;  // 0: an ephemeral port, printed at start
  bool silent = false;
  int silent_after = 0;
  int poll_every = 0;
  uint32_t command = 0;  // reply type sent instead of the normal reply to frame command_after
  int command_after = 1;
  int bad_mark_after = 0;
  int huge_length_after = 0;
  int cut_body_after = 0;
  bool no_ack = false;
  int close_after = 0;
  int exit_after = 0;  // counts over the whole run
  int crash_after = 0;  // counts over the whole run: exit at once, the frame unanswered
  int drip_after = 0;   // answer this frame one byte every drip_ms
  int poison_object = 0;  // close, unanswered, on any event record for this object number
  bool timing = false;    // print the client's turn time before each frame's line
  bool help = false;
};

// Parses argv; on a bad argument returns nothing and says why in `error`.
std::optional<ServerOptions> ParseOptions(int argc, const char* const* argv, std::string& error);

extern const char* const kUsage;

}  // namespace drv::msgserver

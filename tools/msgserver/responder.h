#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "options.h"
#include "wire/frames.h"

namespace drv::msgserver {

// What to do after one received frame.
struct Answer {
  std::vector<uint8_t> bytes;  // what to write back; empty when the server stays silent
  bool close = false;          // close the connection after writing
  bool exit = false;           // end the server after writing
  bool crash = false;          // end the server at once, writing nothing
  bool drip = false;           // write `bytes` one at a time, slowly
};

// Chooses the reply to every frame, with the misbehaviour the options ask for.
class Responder {
 public:
  explicit Responder(const ServerOptions& options) : options_(options) {}

  void NewConnection();
  // Answering off and on for every connection, as a hung server.
  void ToggleMute() { hung_ = !hung_; }
  bool Hung() const { return hung_; }
  // `message` is empty for a frame whose message is not valid; it still gets its reply.
  Answer OnFrame(const std::optional<ParsedMessage>& message);

 private:
  uint32_t ReplyType(const std::optional<ParsedMessage>& message) const;

  const ServerOptions& options_;
  int frames_ = 0;       // on this connection
  int64_t total_ = 0;    // in this run
  bool muted_ = false;   // after a cut body nothing more may follow on this connection
  bool hung_ = false;
};

}  // namespace drv::msgserver

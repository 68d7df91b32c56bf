// Frames from the server: the transport header and message checks on the raw input, then the
// server link's reply path reading the same bytes from a scripted connection.
#include <cstdlib>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "wire/frames.h"
#include "wire/message_types.h"
#include "serverlink/server_link.h"
#include "support/fake_clock.h"
#include "support/scripted_connection.h"

namespace {

class NoObserver final : public drv::LinkObserver {
  void LogLine(const std::string&) override {}
  void TickServerIndicator(bool) override {}
};

class NoSink final : public drv::LinkSpool {
  void SpoolUndelivered(uint32_t, std::span<const uint8_t>) override {}
  void SpoolAcknowledged(const std::string&) override {}
  void ReplayAnswered(const std::string&) override {}
  void ReplayInterrupted(const std::string&) override {}
  void ReleaseReplayWait() override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace drv;
  const std::span<const uint8_t> input(data, size);
  if (size >= kTransportHeaderSize) {
    (void)TransportMessageLength(input.first<kTransportHeaderSize>());
    if (const auto parsed = ValidateMessage(input.subspan(kTransportHeaderSize))) {
      // The payload is every byte after the message header, or none when the field says 0.
      const size_t rest = size - kTransportHeaderSize - kMessageHeaderSize;
      if (parsed->payload.size() != (parsed->payload_length_field == 0 ? 0 : rest)) std::abort();
    }
  }
  if (const auto parsed = ValidateMessage(input)) {
    // What was accepted must survive being built again.
    const auto again = ValidateMessage(BuildMessage(parsed->type, parsed->payload, parsed->sequence));
    if (!again || again->type != parsed->type || again->payload != parsed->payload) std::abort();
  }

  test::FakeClock clock;
  test::ScriptedServer server;
  NoObserver observer;
  NoSink sink;
  ServerLink link(ServerLinkConfig{
      .clock = clock,
      .make_connection = [&server] { return std::make_unique<test::ScriptedConnection>(server); },
      .read_server_host = [] { return ServerHostSettings{}; },
      .com_port = "COM1",
      .first_number = 31,
      .port_open = [] { return true; },
      .observer = observer,
      .spool = sink,
      .version_text = "8.15.3.15",
  });
  server.Feed(std::vector<uint8_t>(data, data + size));
  const uint8_t event[20] = {};
  for (int step = 0; step < 12; ++step) {
    if (step % 3 == 2) link.EnqueueMessage(mtEvent, event);
    link.Step();
    clock.Advance(100);
  }
  link.RequestStop();
  return 0;
}

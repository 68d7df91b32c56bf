// The receiver's line protocol fed arbitrary packets. Input: one byte giving the length of
// a Reg filter text and that text, then packets, each a length byte and up to that many bytes.
#include <cstdlib>

#include "fuzz/fuzz_support.h"
#include "receiver/line_protocol.h"
#include "support/fake_clock.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace drv;
  fuzz::InputReader in(data, size);
  test::FakeClock clock;
  fuzz::QuietReporter reporter;
  Settings settings;
  settings.Log = false;  // the hex log is file output, not parsing
  settings.Reg = NormaliseReg(in.Text(in.Byte() % 32));
  settings.FirstNumber = static_cast<int8_t>(in.Byte());
  int records = 0;
  LineProtocol protocol(clock, settings, reporter, "/dev/null", [&](const TEventRecord& record) {
    if (record.Bytes().size() != 20) std::abort();
    ++records;
  });
  while (!in.Empty()) {
    size_t length = in.Byte();
    const uint8_t* packet = in.Take(length);
    protocol.SerialPortDriver1ReceivePacket(packet, static_cast<uint32_t>(length));
    if (protocol.LineIndex() < 1 || protocol.LineIndex() > LineProtocol::kLineBufferSize + 1) std::abort();
    clock.Advance(210);
  }
  return 0;
}

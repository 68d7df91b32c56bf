// The spool file reader on a file holding the input bytes.
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

#include "fuzz/fuzz_support.h"
#include "spool/spool_files.h"
#include "support/fake_clock.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace drv;
  static const std::string folder = [] {
    char pattern[] = "/tmp/drv-spool-fuzz-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (made == nullptr) std::abort();
    return std::string(made) + "/";
  }();
  test::FakeClock clock;
  fuzz::QuietReporter reporter;
  SpoolFolder spool(clock, folder, reporter, [](int32_t) {});
  const std::string path = folder + "1234ABCD.dd8";
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data),
                                                                 static_cast<std::streamsize>(size));
  const auto file = spool.ReadSpoolFile(path);
  if (size >= 4) {
    if (!file || file->payload.size() != size - 4) std::abort();
    if (file->type != (data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24)) std::abort();
  }
  // Whatever the reader left or set aside goes before the next run.
  ::unlink(path.c_str());
  ::unlink((path + SpoolFolder::kSetAsideSuffix).c_str());
  return 0;
}

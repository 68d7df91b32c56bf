// The INI reader on arbitrary file bytes, the settings read from them, and setting a key.
// Input: three length bytes for a section, key and value text, those texts, then the file.
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

#include "base/ini_file.h"
#include "base/settings.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace drv;
  fuzz::InputReader in(data, size);
  const size_t section_length = in.Byte() % 16;
  const size_t key_length = in.Byte() % 16;
  const size_t value_length = in.Byte() % 32;
  const std::string section = in.Text(section_length);
  const std::string key = in.Text(key_length);
  const std::string value = in.Text(value_length);
  const std::string content = in.Text(in.Left());

  const IniFile ini = IniFile::FromBytes(content);
  for (const char* name : {"port", "main", "ServerHost", "ComMap"}) {
    for (const std::string& k : ini.Keys(name)) {
      (void)ini.ReadString(name, k, "");
      (void)ini.ReadInteger(name, k, 0);
      (void)ini.ReadBool(name, k, false);
    }
  }
  (void)ini.Find(section, key);

  // The settings as start-up reads them, from a real file.
  static const std::string path = "/tmp/drv-ini-fuzz-" + std::to_string(::getpid()) + ".ini";
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  std::vector<std::string> problems;
  (void)LoadSettings(path, &problems);
  (void)LoadServerHost(path);

  try {
    const std::string written = IniFile::WithValue(content, section, key, value);
    // A key that could be set must read back as set (values are trimmed and cut at NUL).
    const auto back = IniFile::FromBytes(written).Find(section, key);
    if (!back) std::abort();
  } catch (const std::runtime_error&) {
    // A name or value the file cannot hold.
  }
  return 0;
}

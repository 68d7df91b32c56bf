#include "base/error_list.h"

#include <cstdio>
#include <stdexcept>

#include "base/rotating_log.h"

namespace drv {
namespace {

// "ошибка №" in Windows-1251.
constexpr char kErrorWord[] = "\xEE\xF8\xE8\xE1\xEA\xE0\x20\xB9";

}  // namespace

void WriteErrorCode(int32_t code, const std::string& path) {
  // Whether the file can be read decides between appending and starting afresh.
  bool readable = false;
  if (std::FILE* probe = std::fopen(path.c_str(), "rb")) {
    readable = true;
    std::fclose(probe);
  }
  const std::string line = std::string(kErrorWord) + std::to_string(code) + "\r\n";
  std::string error;
  if (!AppendToFile(path, line, &error, !readable)) {
    throw std::runtime_error("cannot write error list \"" + path + "\": " + error);
  }
}

}  // namespace drv

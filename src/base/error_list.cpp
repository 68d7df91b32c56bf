#include "base/error_list.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace drv {
namespace {

// "ошибка №" in Windows-1251.
constexpr char kErrorWord[] = "\xEE\xF8\xE8\xE1\xEA\xE0\x20\xB9";

[[noreturn]] void Fail(const std::string& path, int error) {
  throw std::runtime_error("cannot write error list \"" + path + "\": " + std::strerror(error));
}

}  // namespace

void WriteErrorCode(int32_t code, const std::string& path) {
  // Whether the file can be read decides between appending and starting afresh.
  bool readable = false;
  if (std::FILE* probe = std::fopen(path.c_str(), "rb")) {
    readable = true;
    std::fclose(probe);
  }
  std::FILE* file = std::fopen(path.c_str(), readable ? "ab" : "wb");
  if (file == nullptr) Fail(path, errno);

  const std::string line = std::string(kErrorWord) + std::to_string(code) + "\r\n";
  errno = 0;
  const bool written = std::fwrite(line.data(), 1, line.size(), file) == line.size() && std::fflush(file) == 0;
  const int write_error = errno;
  const bool closed = std::fclose(file) == 0;
  if (!written) Fail(path, write_error != 0 ? write_error : EIO);
  if (!closed) Fail(path, errno != 0 ? errno : EIO);
}

}  // namespace drv

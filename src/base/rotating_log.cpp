#include "base/rotating_log.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace drv {
namespace {

bool Exists(const std::string& path) {
  struct stat st{};
  return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

bool AppendToFile(const std::string& path, std::string_view text, std::string* error, bool afresh) {
  std::FILE* file = std::fopen(path.c_str(), afresh ? "wb" : "ab");
  if (file == nullptr) {
    if (error != nullptr) *error = std::strerror(errno);
    return false;
  }
  errno = 0;
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  const int write_errno = errno;
  const bool closed = std::fclose(file) == 0;
  if (written && closed) return true;
  const int failure = written ? errno : write_errno;
  if (error != nullptr) *error = std::strerror(failure != 0 ? failure : EIO);
  return false;
}

RotatingLog::RotatingLog(std::string path, uint64_t max_bytes, int32_t keep_files, ProblemFn on_problem)
    : path_(std::move(path)), max_bytes_(max_bytes), keep_files_(keep_files), on_problem_(std::move(on_problem)) {}

void RotatingLog::SetLimits(uint64_t max_bytes, int32_t keep_files) {
  max_bytes_ = max_bytes;
  keep_files_ = keep_files < 0 ? 0 : keep_files;
}

void RotatingLog::SetLimitsKB(int32_t max_kb, int32_t keep_files) {
  SetLimits(max_kb > 0 ? static_cast<uint64_t>(max_kb) * 1024u : 0u, keep_files);
}

bool RotatingLog::Append(std::string_view text, std::string* error) {
  if (max_bytes_ > 0) {
    struct stat st{};
    const bool has_size = ::stat(path_.c_str(), &st) == 0;
    if (has_size && st.st_size > 0 && static_cast<uint64_t>(st.st_size) + text.size() > max_bytes_) {
      std::string what;
      if (Rotate(&what)) {
        rotation_failing_ = false;
      } else if (!rotation_failing_) {
        rotation_failing_ = true;
        if (on_problem_) on_problem_("cannot rotate " + path_ + ": " + what + "; the file grows on");
      }
    }
  }

  return AppendToFile(path_, text, error);
}

bool RotatingLog::Rotate(std::string* what) {
  const auto fail = [&](const std::string& step) {
    *what = step + ": " + std::strerror(errno);
    return false;
  };
  if (keep_files_ == 0) {
    return std::remove(path_.c_str()) == 0 || fail("remove " + path_);
  }
  // Oldest first, so no rename lands on a file still kept: a step that fails stops the
  // rotation before anything kept is overwritten.
  const std::string oldest = RotatedPath(keep_files_);
  if (Exists(oldest) && std::remove(oldest.c_str()) != 0) return fail("remove " + oldest);
  for (int32_t k = keep_files_ - 1; k >= 1; --k) {
    const std::string from = RotatedPath(k);
    if (!Exists(from)) continue;
    if (std::rename(from.c_str(), RotatedPath(k + 1).c_str()) != 0) return fail("rename " + from);
  }
  const std::string first = RotatedPath(1);
  if (std::rename(path_.c_str(), first.c_str()) != 0) return fail("rename to " + first);
  return true;
}

}  // namespace drv

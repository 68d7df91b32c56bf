#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace drv {

// Appends `text` to the file at `path`, opened and closed for this one call; `afresh` empties
// the file first. False with `error` (errno text) set when it could not be opened or written.
bool AppendToFile(const std::string& path, std::string_view text, std::string* error = nullptr, bool afresh = false);

// A text log kept to a bounded size: before a line would take the file past its limit, the
// file becomes NAME.1, the older NAME.k shift to NAME.k+1 and the one beyond the kept count
// is removed; the line then starts a new file. A rotation that fails is reported once (until
// one succeeds again) and the line is appended to the file as it is, so a line is never lost
// to the rotation. Not thread-safe: the owner serialises calls.
class RotatingLog {
 public:
  // Called with a readable text when a rotation fails (once per run of failures).
  using ProblemFn = std::function<void(const std::string& what)>;

  explicit RotatingLog(std::string path, uint64_t max_bytes = 10240u * 1024u, int32_t keep_files = 5,
                       ProblemFn on_problem = {});

  // max_bytes 0: no limit. keep_files 0: the full file is dropped and started anew.
  void SetLimits(uint64_t max_bytes, int32_t keep_files);
  // The limits of the settings' LogMaxKB and LogFiles (kilobytes; 0 or less: no limit).
  void SetLimitsKB(int32_t max_kb, int32_t keep_files);
  void SetProblemHandler(ProblemFn on_problem) { on_problem_ = std::move(on_problem); }

  // Appends `text` (the line with its line end) to the file, opened and closed for this call.
  // False with `error` (errno text) set when the file could not be opened or written.
  bool Append(std::string_view text, std::string* error = nullptr);

  const std::string& path() const { return path_; }
  // The name of the k-th older file (k >= 1).
  std::string RotatedPath(int32_t k) const { return path_ + "." + std::to_string(k); }

 private:
  bool Rotate(std::string* what);

  std::string path_;
  uint64_t max_bytes_;
  int32_t keep_files_;
  ProblemFn on_problem_;
  bool rotation_failing_ = false;
};

}  // namespace drv

#include "spool/spool_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <utility>

#include "base/date_time.h"
#include "base/guarded.h"
#include "base/error_list.h"
#include "wire/event_record.h"

namespace drv {
namespace {

// Enough to step over any run of taken names a real folder can hold.
constexpr uint32_t kMaxNameAttempts = 100000;
// DateTime range the calendar functions accept: years 1 to 9999.
constexpr DateTime kFirstDate = -693593.0;
constexpr DateTime kLastDate = 2958466.0;

std::string ErrnoText(int error) { return std::strerror(error); }

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(value));
  return text;
}

uint32_t SpoolValue(DateTime when) {
  if (!std::isfinite(when) || when < kFirstDate || when >= kLastDate) {
    throw std::invalid_argument("no date to name a spool file after");
  }
  const CivilTime t = SplitDateTime(when);
  const uint32_t seconds = static_cast<uint32_t>(t.day) * 86400u + static_cast<uint32_t>(t.hour) * 3600u +
                           static_cast<uint32_t>(t.minute) * 60u + static_cast<uint32_t>(t.second);
  return seconds * 1000u + static_cast<uint32_t>(t.millisecond);
}

bool WriteAll(int fd, const uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

enum class MoveResult { kDone, kTaken, kFailed };

// Moves `from` to `to` without ever replacing an existing `to`. Falls back to a hard link
// and, on file systems that have neither, to a check before a plain rename.
MoveResult MoveNoReplace(const std::string& from, const std::string& to, int& error) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return MoveResult::kDone;
  if (errno == EEXIST) return MoveResult::kTaken;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
    error = errno;
    return MoveResult::kFailed;
  }
  if (::link(from.c_str(), to.c_str()) == 0) {
    ::unlink(from.c_str());
    return MoveResult::kDone;
  }
  if (errno == EEXIST) return MoveResult::kTaken;
  if (errno != EPERM && errno != ENOSYS && errno != ENOTSUP && errno != EMLINK) {
    error = errno;
    return MoveResult::kFailed;
  }
  struct stat st {};
  if (::lstat(to.c_str(), &st) == 0) return MoveResult::kTaken;
  if (::rename(from.c_str(), to.c_str()) == 0) return MoveResult::kDone;
  error = errno;
  return MoveResult::kFailed;
}

bool IsDirectory(const std::string& folder, const dirent& entry) {
  if (entry.d_type == DT_DIR) return true;
  if (entry.d_type != DT_UNKNOWN) return false;
  struct stat st {};
  const std::string path = folder + "/" + entry.d_name;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsTransient(int error) {
  return error == EINTR || error == EAGAIN || error == EMFILE || error == ENFILE || error == ENOMEM;
}

}  // namespace

SpoolFolder::SpoolFolder(const Clock& clock, std::string prefix, Reporter& reporter, ErrorCodeWriter write_error_code)
    : clock_(clock), prefix_(std::move(prefix)), reporter_(reporter), write_error_code_(std::move(write_error_code)) {
  if (!write_error_code_) write_error_code_ = [](int32_t code) { WriteErrorCode(code); };
  // What an interrupted write left: never published, so its message was never spooled.
  RemoveLeftoverTemps();
}

std::string SpoolFolder::SpoolName(DateTime when) { return Hex(SpoolValue(when)); }

std::string SpoolFolder::FolderPart() const {
  const auto slash = prefix_.rfind('/');
  if (slash == std::string::npos) return ".";
  return prefix_.substr(0, slash + 1);
}

std::string SpoolFolder::NamePart() const {
  const auto slash = prefix_.rfind('/');
  return slash == std::string::npos ? prefix_ : prefix_.substr(slash + 1);
}

bool SpoolFolder::WriteSpoolFile(uint32_t type, std::span<const uint8_t> payload) {
  uint32_t value = 0;
  try {
    value = SpoolValue(clock_.Now());
  } catch (...) {
    const std::string what = CurrentExceptionText();
    try {
      write_error_code_(kNameErrorCode);
    } catch (...) {
      // The error list is only a trace; the report below still tells of the loss.
    }
    Failed(prefix_ + "*" + kExtension, "no file name: " + what);
    return false;
  }

  std::vector<uint8_t> bytes(4 + payload.size());
  PutLe32(bytes.data(), type);
  if (!payload.empty()) std::memcpy(bytes.data() + 4, payload.data(), payload.size());

  // Written under a name the replay never picks up, then moved into place complete. The
  // counter keeps two messages of one millisecond apart while both are still temporary.
  const std::string temp_path =
      prefix_ + Hex(value) + kExtension + "." + std::to_string(temp_counter_++) + kTempSuffix;
  std::string error;
  if (!WriteTemp(temp_path, bytes, error)) {
    ::unlink(temp_path.c_str());
    Failed(prefix_ + Hex(value) + kExtension, error);
    return false;
  }
  if (!Publish(temp_path, value)) return false;
  // Inside a batch the folder is synced once for all its files, at the commit.
  if (batch_depth_ > 0) {
    folder_sync_due_ = true;
  } else {
    SyncFolder();
  }
  return true;
}

void SpoolFolder::BeginBatch() { ++batch_depth_; }

void SpoolFolder::CommitBatch() {
  if (batch_depth_ == 0 || --batch_depth_ > 0 || !folder_sync_due_) return;
  folder_sync_due_ = false;
  SyncFolder();
}

void SpoolFolder::SyncFolder() {
  // The new names must reach the disk too, or a power cut could still lose the files.
  const std::string folder = FolderPart();
  const int dir_fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0 || (::fsync(dir_fd) != 0 && errno != EINVAL)) {
    reporter_.ReportException("WriteSpoolFile", "folder " + folder + " not synced: " + ErrnoText(errno));
  }
  if (dir_fd >= 0) ::close(dir_fd);
}

bool SpoolFolder::WriteTemp(const std::string& temp_path, std::span<const uint8_t> bytes, std::string& error) {
  const int fd = ::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = ErrnoText(errno);
    return false;
  }
  const bool written = WriteAll(fd, bytes.data(), bytes.size()) && ::fsync(fd) == 0;
  const int write_errno = errno;
  const bool closed = ::close(fd) == 0;
  if (!written || !closed) {
    error = ErrnoText(written ? errno : write_errno);
    return false;
  }
  return true;
}

bool SpoolFolder::Publish(const std::string& temp_path, uint32_t value) {
  // Two messages in one millisecond, or a file left from another month, share a name:
  // the next free value is taken instead of replacing the earlier file.
  std::string final_path;
  std::string error = "no free spool file name";
  for (uint32_t attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
    final_path = prefix_ + Hex(value + attempt) + kExtension;  // wraps in 32 bits
    int move_errno = 0;
    const MoveResult result = MoveNoReplace(temp_path, final_path, move_errno);
    if (result == MoveResult::kDone) return true;
    if (result == MoveResult::kTaken) continue;
    error = ErrnoText(move_errno);
    break;
  }
  ::unlink(temp_path.c_str());
  Failed(prefix_ + Hex(value) + kExtension, error);
  return false;
}

void SpoolFolder::Failed(const std::string& path, const std::string& error) {
  reporter_.ReportException("WriteSpoolFile", path + ": " + error);
  reporter_.OperatorLog("Не удалось записать файл спула: " + path);
}

void SpoolFolder::RemoveLeftoverTemps() const {
  const std::string folder = FolderPart();
  const std::string name_part = NamePart();
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> leftovers;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name.starts_with(name_part) && name.ends_with(kTempSuffix) &&
        name.find(kExtension, name_part.size()) != std::string_view::npos && !IsDirectory(folder, *entry)) {
      leftovers.push_back(prefix_.substr(0, prefix_.size() - name_part.size()) + std::string(name));
    }
  }
  ::closedir(dir);
  for (const std::string& path : leftovers) ::unlink(path.c_str());
}

std::optional<std::string> SpoolFolder::FindFirstSpoolFile() const {
  const std::string folder = FolderPart();
  const std::string name_part = NamePart();
  const std::string extension = kExtension;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return std::nullopt;
  std::optional<std::string> found;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name.size() < name_part.size() + extension.size()) continue;
    if (!name.starts_with(name_part) || !name.ends_with(extension)) continue;
    if (IsDirectory(folder, *entry)) continue;
    found = prefix_.substr(0, prefix_.size() - name_part.size()) + std::string(name);
    break;
  }
  ::closedir(dir);
  return found;
}

std::optional<SpoolFolder::SpoolFile> SpoolFolder::ReadSpoolFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    if (error == ENOENT) return std::nullopt;  // acknowledged and deleted meanwhile
    if (IsTransient(error)) {
      reporter_.ReportException("ReadSpoolFile", path + ": " + ErrnoText(error));
      return std::nullopt;
    }
    SetAsideUnreadable(path, ErrnoText(error));
    return std::nullopt;
  }
  std::vector<uint8_t> bytes;
  uint8_t chunk[4096];
  int read_errno = 0;
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      read_errno = errno;
      break;
    }
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  ::close(fd);
  if (read_errno != 0) {
    SetAsideUnreadable(path, ErrnoText(read_errno));
    return std::nullopt;
  }
  if (bytes.size() < 4) {
    SetAsideUnreadable(path, "shorter than its type code");
    return std::nullopt;
  }
  SpoolFile file;
  file.type = GetLe32(bytes.data());
  file.payload.assign(bytes.begin() + 4, bytes.end());
  return file;
}

bool SpoolFolder::SetAside(const std::string& path, const std::string& why,
                           const std::function<std::string(const std::string& target)>& operator_line) {
  int error = 0;
  for (uint32_t attempt = 0; attempt < 1000; ++attempt) {
    const std::string target = path + kSetAsideSuffix + (attempt == 0 ? std::string() : std::to_string(attempt));
    const MoveResult result = MoveNoReplace(path, target, error);
    if (result == MoveResult::kTaken) continue;
    if (result == MoveResult::kDone) {
      reporter_.OperatorLog(operator_line(target));
      return true;
    }
    if (error == ENOENT) return false;  // gone meanwhile: nothing left to set aside
    break;
  }
  reporter_.ReportException("SetAside", path + ": " + why + "; not set aside: " + ErrnoText(error));
  return false;
}

void SpoolFolder::SetAsideUnreadable(const std::string& path, const std::string& why) {
  SetAside(path, why, [&why](const std::string& target) {
    return "Файл спула не читается и отложен: " + target + " (" + why + ")";
  });
}

bool SpoolFolder::SetAsideRefused(const std::string& path) {
  return SetAside(path, "the server ends the connection on its message", [](const std::string& target) {
    return "Файл спула отложен: сервер разрывает соединение на его сообщении: " + target;
  });
}

bool SpoolFolder::RemoveSpoolFile(const std::string& path) const { return ::unlink(path.c_str()) == 0; }

}  // namespace drv

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
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "base/date_time.h"
#include "base/durable_file.h"
#include "base/guarded.h"
#include "base/error_list.h"
#include "wire/event_record.h"
#include "wire/message_types.h"

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

using durable::MoveNoReplace;
using durable::MoveResult;

bool IsDirectory(const std::string& folder, const dirent& entry) {
  if (entry.d_type == DT_DIR) return true;
  if (entry.d_type != DT_UNKNOWN) return false;
  struct stat st {};
  const std::string path = folder + "/" + entry.d_name;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool EndsWithNoCase(std::string_view name, std::string_view suffix) {
  if (name.size() < suffix.size()) return false;
  const std::string_view tail = name.substr(name.size() - suffix.size());
  for (std::size_t i = 0; i < suffix.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(tail[i]) != lower(suffix[i])) return false;
  }
  return true;
}

// The payload length of each record type that is ever spooled: an event record and the
// station-link record.
std::optional<std::size_t> KnownPayloadSize(uint32_t type) {
  if (type == mtStoredEvent) return TEventRecord::kSize;
  if (type == mtLinkState) return 11;
  return std::nullopt;
}

// A small file read whole; empty when it cannot be read.
std::vector<uint8_t> ReadWhole(const std::string& path) {
  std::vector<uint8_t> bytes;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return bytes;
  uint8_t chunk[256];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  ::close(fd);
  return bytes;
}

bool IsTransient(int error) {
  return error == EINTR || error == EAGAIN || error == EMFILE || error == ENFILE || error == ENOMEM;
}

}  // namespace

SpoolFolder::SpoolFolder(const Clock& clock, std::string prefix, Reporter& reporter, ErrorCodeWriter write_error_code)
    : clock_(clock), prefix_(std::move(prefix)), reporter_(reporter), write_error_code_(std::move(write_error_code)) {
  if (!write_error_code_) write_error_code_ = [](int32_t code) { WriteErrorCode(code); };
  if (const std::optional<std::string> created = EnsureFolder()) {
    reporter_.OperatorLog("Создана папка спула: " + *created);
  }
  RecoverLeftoverTemps();
}

std::optional<std::string> SpoolFolder::EnsureFolder() const {
  const std::string folder = FolderPart();
  std::error_code error;
  if (folder == "." || std::filesystem::is_directory(folder, error)) return std::nullopt;
  // Another thread may create it in the same instant: only the one that did tells.
  if (!std::filesystem::create_directories(folder, error) || error) return std::nullopt;
  return folder;
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
  WriteNotes notes;
  const bool written = WriteQuietly(type, payload, notes);
  Report(notes);
  return written;
}

void SpoolFolder::Report(const WriteNotes& notes) {
  if (!notes.created_folder.empty()) reporter_.OperatorLog("Создана папка спула: " + notes.created_folder);
  if (notes.error.empty()) return;
  reporter_.ReportException("WriteSpoolFile", notes.path + ": " + notes.error);
  reporter_.OperatorLog("Не удалось записать файл спула: " + notes.path);
}

bool SpoolFolder::WriteQuietly(uint32_t type, std::span<const uint8_t> payload, WriteNotes& notes) {
  uint32_t value = 0;
  try {
    value = SpoolValue(clock_.Now());
  } catch (...) {
    const std::string what = CurrentExceptionText();
    try {
      write_error_code_(kNameErrorCode);
    } catch (...) {
      // The error list is only a trace; the report still tells of the failure.
    }
    notes.path = prefix_ + "*" + kExtension;
    notes.error = "no file name: " + what;
    return false;
  }
  notes.path = prefix_ + Hex(value) + kExtension;

  std::vector<uint8_t> bytes(4 + payload.size());
  PutLe32(bytes.data(), type);
  if (!payload.empty()) std::memcpy(bytes.data() + 4, payload.data(), payload.size());

  // Written under a name the replay never picks up, then moved into place complete. The
  // counter keeps two messages of one millisecond apart while both are still temporary.
  const std::string temp_path =
      prefix_ + Hex(value) + kExtension + "." + std::to_string(temp_counter_++) + kTempSuffix;
  std::string error;
  bool written = WriteTemp(temp_path, bytes, error);
  if (!written && errno == ENOENT) {
    // The folder has gone since start (removed by hand, an unmounted share): make it again.
    if (const std::optional<std::string> created = EnsureFolder()) notes.created_folder = *created;
    written = WriteTemp(temp_path, bytes, error);
  }
  if (!written) {
    ::unlink(temp_path.c_str());
    notes.error = error;
    return false;
  }
  if (!Publish(temp_path, value, error)) {
    ::unlink(temp_path.c_str());
    notes.error = error;
    return false;
  }
  // Inside a batch of this thread the folder is synced once for all its files, at the commit.
  {
    std::lock_guard lock(batch_mutex_);
    const auto batch = batches_.find(std::this_thread::get_id());
    if (batch != batches_.end()) {
      batch->second.sync_due = true;
      return true;
    }
  }
  SyncFolder();
  return true;
}

void SpoolFolder::BeginBatch() {
  std::lock_guard lock(batch_mutex_);
  ++batches_[std::this_thread::get_id()].depth;
}

void SpoolFolder::CommitBatch() {
  bool sync = false;
  {
    std::lock_guard lock(batch_mutex_);
    const auto batch = batches_.find(std::this_thread::get_id());
    if (batch == batches_.end() || --batch->second.depth > 0) return;
    sync = batch->second.sync_due;
    batches_.erase(batch);
  }
  if (sync) SyncFolder();
}

void SpoolFolder::SyncFolder() {
  // The new names must reach the disk too, or a power cut could still lose the files.
  const std::string folder = FolderPart();
  if (const int error = durable::SyncFolder(folder); error != 0) {
    reporter_.ReportException("WriteSpoolFile", "folder " + folder + " not synced: " + ErrnoText(error));
  }
}

bool SpoolFolder::WriteTemp(const std::string& temp_path, std::span<const uint8_t> bytes, std::string& error) {
  const durable::WriteResult written =
      durable::WriteFile(temp_path, {reinterpret_cast<const char*>(bytes.data()), bytes.size()});
  if (written) return true;
  error = ErrnoText(written.error);
  errno = written.error;
  return false;
}

bool SpoolFolder::Publish(const std::string& temp_path, uint32_t value, std::string& error) {
  // Two messages in one millisecond, or a file left from another month, share a name:
  // the next free value is taken instead of replacing the earlier file.
  std::string final_path;
  error = "no free spool file name";
  for (uint32_t attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
    final_path = prefix_ + Hex(value + attempt) + kExtension;  // wraps in 32 bits
    int move_errno = 0;
    const MoveResult result = MoveNoReplace(temp_path, final_path, move_errno);
    if (result == MoveResult::kDone) return true;
    if (result == MoveResult::kTaken) continue;
    error = ErrnoText(move_errno);
    break;
  }
  return false;
}

void SpoolFolder::RecoverLeftoverTemps() {
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
  bool published = false;
  for (const std::string& path : leftovers) {
    // A write cut off by a kill may have left a whole record that was never published: it is
    // a message like any other. A temporary file with a second link was published already.
    struct stat st {};
    const std::vector<uint8_t> bytes = ReadWhole(path);
    const std::optional<std::size_t> size = bytes.size() >= 4 ? KnownPayloadSize(GetLe32(bytes.data())) : std::nullopt;
    const bool whole = size && bytes.size() == 4 + *size && ::stat(path.c_str(), &st) == 0 && st.st_nlink == 1;
    if (!whole) {
      ::unlink(path.c_str());
      continue;
    }
    const std::string name = path.substr(prefix_.size());
    uint32_t value = 0;
    try {
      value = static_cast<uint32_t>(std::stoul(name.substr(0, name.find('.')), nullptr, 16));
    } catch (...) {
      value = static_cast<uint32_t>(clock_.TickMs());  // any free name will do
    }
    std::string error;
    if (Publish(path, value, error)) {
      published = true;
    } else {
      // Left where it is: the next start tries again.
      reporter_.ReportException("WriteSpoolFile", path + ": not published: " + error);
    }
  }
  if (published) SyncFolder();
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
    if (!name.starts_with(name_part) || !EndsWithNoCase(name, extension)) continue;
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

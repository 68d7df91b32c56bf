#include "base/ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "base/durable_file.h"
#include "base/settings.h"

namespace drv {
namespace {

namespace fs = std::filesystem;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// One physical line: [begin, content_end) is its text without the line end,
// [content_end, end) its CR LF or LF (empty on a last line without one).
struct Line {
  std::size_t begin = 0;
  std::size_t content_end = 0;
  std::size_t end = 0;
};

std::vector<Line> SplitLines(std::string_view content) {
  std::vector<Line> lines;
  std::size_t pos = 0;
  while (pos < content.size()) {
    Line line;
    line.begin = pos;
    const std::size_t lf = content.find('\n', pos);
    if (lf == std::string_view::npos) {
      line.content_end = line.end = content.size();
    } else {
      line.end = lf + 1;
      line.content_end = (lf > pos && content[lf - 1] == '\r') ? lf - 1 : lf;
    }
    lines.push_back(line);
    pos = line.end;
  }
  return lines;
}

enum class LineKind { kOther, kSection, kKey };

struct ParsedLine {
  LineKind kind = LineKind::kOther;
  std::string_view name;   // section or key name, trimmed
  std::size_t value_pos = 0;  // offset in the line of the text after '=' (key lines)
};

ParsedLine ParseLine(std::string_view text) {
  ParsedLine parsed;
  std::size_t first = 0;
  while (first < text.size() && IsBlank(text[first])) ++first;
  if (first == text.size() || text[first] == ';') return parsed;
  if (text[first] == '[') {
    // A header without its ']' still opens the section named by the rest of the line.
    const std::size_t close = text.find(']', first + 1);
    const std::size_t stop = close == std::string_view::npos ? text.size() : close;
    parsed.kind = LineKind::kSection;
    parsed.name = Trim(text.substr(first + 1, stop - first - 1));
    return parsed;
  }
  const std::size_t eq = text.find('=', first);
  if (eq == std::string_view::npos) return parsed;
  parsed.name = Trim(text.substr(first, eq - first));
  if (parsed.name.empty()) return parsed;
  parsed.kind = LineKind::kKey;
  parsed.value_pos = eq + 1;
  return parsed;
}

std::string CleanValue(std::string_view raw) {
  // Callers of the profile reader get a C string: a NUL ends the value.
  const std::size_t nul = raw.find('\0');
  if (nul != std::string_view::npos) raw = raw.substr(0, nul);
  raw = Trim(raw);
  if (raw.size() > IniFile::kMaxValueLength) raw = raw.substr(0, IniFile::kMaxValueLength);
  return std::string(raw);
}

bool HasAny(std::string_view text, std::string_view chars) {
  return text.find_first_of(chars) != std::string_view::npos;
}

void CheckWritable(std::string_view section, std::string_view key, std::string_view value) {
  using namespace std::string_view_literals;
  const std::string_view breaks("\r\n\0", 3);
  if (section.empty() || HasAny(section, breaks) || HasAny(section, "]"sv) || Trim(section) != section) {
    throw std::runtime_error("INI section name \"" + std::string(section) + "\" cannot be written");
  }
  if (key.empty() || HasAny(key, breaks) || HasAny(key, "="sv) || Trim(key) != key || key.front() == ';' ||
      key.front() == '[') {
    throw std::runtime_error("INI key name \"" + std::string(key) + "\" cannot be written");
  }
  if (HasAny(value, breaks)) {
    throw std::runtime_error("INI value for \"" + std::string(key) + "\" cannot hold a line break");
  }
}

[[noreturn]] void ThrowIo(const std::string& what, const std::string& path, int error) {
  throw std::runtime_error(what + " \"" + path + "\": " + std::strerror(error));
}

// The whole file, or nothing when it does not exist. Any other failure throws: a file we
// cannot read must not be replaced by one that holds only our key.
std::optional<std::string> ReadExisting(const std::string& path, struct stat& info) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return std::nullopt;
    ThrowIo("cannot read settings file", path, errno);
  }
  std::string content;
  char buffer[8192];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      ::close(fd);
      ThrowIo("cannot read settings file", path, error);
    }
    if (got == 0) break;
    content.append(buffer, static_cast<std::size_t>(got));
  }
  if (::fstat(fd, &info) != 0) {
    const int error = errno;
    ::close(fd);
    ThrowIo("cannot read settings file", path, error);
  }
  ::close(fd);
  return content;
}

// The path a chain of symbolic links ends at. A link to a missing file gives the missing
// name, so that the write creates the file the link points at. A loop is left to the open,
// which then fails.
std::string FollowLinks(const std::string& path) {
  fs::path current(path);
  constexpr int kMaxHops = 40;  // as the kernel's own limit
  for (int hop = 0; hop < kMaxHops; ++hop) {
    std::error_code error;
    if (!fs::is_symlink(fs::symlink_status(current, error)) || error) break;
    const fs::path next = fs::read_symlink(current, error);
    if (error) break;
    current = next.is_absolute() ? next : current.parent_path() / next;
  }
  return current.string();
}

// The safe write: the new content goes to a temporary file beside the original, which
// takes the original's owner and mode and is then renamed over it, so a failure at any
// point leaves the old file whole. Returns false, having changed nothing, when the folder
// will not have it (no temporary file can be made there, or no rename) or when the owner
// cannot be kept; the caller then rewrites the file in place. Throws when the data itself
// cannot be written (a full disk), since the file in place would fare no better.
bool TryReplaceFile(const std::string& path, const std::string& content, const struct stat* original) {
  const fs::path target(path);
  fs::path folder = target.parent_path();
  if (folder.empty()) folder = ".";
  static std::atomic<unsigned> counter{0};
  const fs::path temp =
      folder / ("." + target.filename().string() + "." + std::to_string(::getpid()) + "." +
                std::to_string(counter.fetch_add(1)) + ".tmp");
  const durable::WriteResult written =
      durable::WriteFile(temp, content, {.mode = 0666, .exclusive = true, .like = original});
  if (written.failed_at == durable::Step::kOpen || written.failed_at == durable::Step::kOwner) return false;
  if (!written) ThrowIo("cannot write settings file", path, written.error);
  // A file mounted on its own cannot be renamed over (EBUSY), but can be written.
  if (durable::MoveReplacing(temp, target) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  // Make the rename itself durable; a failure here no longer loses anything.
  durable::SyncFolder(folder);
  return true;
}

// Rewrites the file where it stands, so that its inode, hard links, owner and mode stay
// as they are. The room for a longer content is taken first: a full disk then fails before
// any byte of the old content is overwritten.
void RewriteInPlace(const std::string& path, const std::string& content) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) ThrowIo("cannot write settings file", path, errno);
  int error = 0;
  struct stat info {};
  if (::fstat(fd, &info) != 0) error = errno;
  const auto old_size = static_cast<off_t>(info.st_size);
  const auto new_size = static_cast<off_t>(content.size());
  if (error == 0 && new_size > old_size) {
    const int reserved = ::posix_fallocate(fd, old_size, new_size - old_size);
    if (reserved != 0 && reserved != EOPNOTSUPP && reserved != EINVAL) error = reserved;
  }
  for (std::size_t done = 0; error == 0 && done < content.size();) {
    const ssize_t put = ::pwrite(fd, content.data() + done, content.size() - done, static_cast<off_t>(done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      error = put < 0 ? errno : EIO;
      break;
    }
    done += static_cast<std::size_t>(put);
  }
  if (error == 0 && ::ftruncate(fd, new_size) != 0) error = errno;
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error != 0) ThrowIo("cannot write settings file", path, error);
}

}  // namespace

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

IniFile IniFile::Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return IniFile{};
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return FromBytes(std::move(bytes));
}

IniFile IniFile::FromBytes(std::string bytes) {
  IniFile ini;
  Section* current = nullptr;
  for (const Line& line : SplitLines(bytes)) {
    const std::string_view text(bytes.data() + line.begin, line.content_end - line.begin);
    const ParsedLine parsed = ParseLine(text);
    if (parsed.kind == LineKind::kSection) {
      ini.sections_.push_back(Section{std::string(parsed.name), {}});
      current = &ini.sections_.back();
    } else if (parsed.kind == LineKind::kKey && current != nullptr) {
      current->entries.push_back(Entry{std::string(parsed.name), CleanValue(text.substr(parsed.value_pos))});
    }
  }
  return ini;
}

const IniFile::Section* IniFile::FindSection(std::string_view name) const {
  for (const Section& section : sections_) {
    if (EqualsNoCase(section.name, name)) return &section;
  }
  return nullptr;
}

std::optional<std::string> IniFile::Find(std::string_view section, std::string_view key) const {
  const Section* found = FindSection(section);
  if (found == nullptr) return std::nullopt;
  for (const Entry& entry : found->entries) {
    if (EqualsNoCase(entry.key, key)) return entry.value;
  }
  return std::nullopt;
}

std::string IniFile::ReadString(std::string_view section, std::string_view key, const std::string& fallback) const {
  auto value = Find(section, key);
  return value ? std::move(*value) : fallback;
}

int32_t IniFile::ReadInteger(std::string_view section, std::string_view key, int32_t fallback) const {
  const auto value = Find(section, key);
  return value ? TextToIntOr(*value, fallback) : fallback;
}

bool IniFile::ReadBool(std::string_view section, std::string_view key, bool fallback) const {
  return ReadInteger(section, key, fallback ? 1 : 0) != 0;
}

std::vector<std::string> IniFile::Keys(std::string_view section) const {
  std::vector<std::string> keys;
  const Section* found = FindSection(section);
  if (found == nullptr) return keys;
  for (const Entry& entry : found->entries) {
    bool seen = false;
    for (const std::string& key : keys) seen = seen || EqualsNoCase(key, entry.key);
    if (!seen) keys.push_back(entry.key);
  }
  return keys;
}

std::string IniFile::WithValue(const std::string& content, std::string_view section, std::string_view key,
                               std::string_view value) {
  CheckWritable(section, key, value);
  // New lines take the line end the file already uses.
  const std::size_t first_lf = content.find('\n');
  const std::string eol = (first_lf == std::string::npos || (first_lf > 0 && content[first_lf - 1] == '\r'))
                              ? std::string("\r\n")
                              : std::string("\n");
  const std::string key_line = std::string(key) + "=" + std::string(value);

  bool in_target = false;
  bool target_seen = false;
  std::size_t insert_at = 0;       // end of the target section's header or last key line
  bool insert_needs_eol = false;   // that line is the file's last and has no line end
  const auto add_key = [&]() {
    std::string result = content;
    result.insert(insert_at, insert_needs_eol ? eol + key_line : key_line + eol);
    return result;
  };

  for (const Line& line : SplitLines(content)) {
    const std::string_view text(content.data() + line.begin, line.content_end - line.begin);
    const ParsedLine parsed = ParseLine(text);
    if (parsed.kind == LineKind::kSection) {
      if (in_target) return add_key();
      if (!target_seen && EqualsNoCase(parsed.name, section)) {
        in_target = target_seen = true;
        insert_at = line.end;
        insert_needs_eol = line.end == line.content_end;
      }
      continue;
    }
    if (!in_target) continue;
    if (parsed.kind == LineKind::kKey && EqualsNoCase(parsed.name, key)) {
      // Keep the key as spelt and the blanks after '='; replace the rest of the line.
      std::size_t start = line.begin + parsed.value_pos;
      while (start < line.content_end && IsBlank(content[start])) ++start;
      std::string result = content;
      result.replace(start, line.content_end - start, value);
      return result;
    }
    // After the section's last key, so comments and blank lines before the next section
    // stay with it.
    if (parsed.kind == LineKind::kKey) {
      insert_at = line.end;
      insert_needs_eol = line.end == line.content_end;
    }
  }
  if (in_target) return add_key();

  std::string result = content;
  if (!result.empty() && result.back() != '\n') result += eol;
  result += "[" + std::string(section) + "]" + eol + key_line + eol;
  return result;
}

void IniFile::WriteString(const std::string& path, std::string_view section, std::string_view key,
                          std::string_view value) {
  // Through a symbolic link the file it points at is written; the link stays a link.
  const std::string target = FollowLinks(path);
  struct stat info {};
  const std::optional<std::string> content = ReadExisting(target, info);
  const std::string updated = WithValue(content.value_or(std::string()), section, key, value);
  // A rename would part a hard-linked file from its other names.
  const bool linked_elsewhere = content && info.st_nlink > 1;
  if (!linked_elsewhere && TryReplaceFile(target, updated, content ? &info : nullptr)) return;
  RewriteInPlace(target, updated);
}

}  // namespace drv

#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace drv {

// Our private-profile reader and writer. It works on the file's raw bytes (Windows-1251)
// and never converts them.
//
// Reading rules:
// - section and key names match without regard to ASCII letter case;
// - a value is the text after the first '=' of its line, blanks (space, tab) trimmed at
//   both ends, cut to kMaxValueLength characters and at a NUL byte;
// - lines end in CR LF or LF; a line whose first non-blank character is ';' is a comment;
// - "[name]" opens a section; key lines before the first section and lines without '='
//   are ignored;
// - of duplicate sections or keys the first one wins (later ones are never looked at).
class IniFile {
 public:
  // The profile reader's buffer holds 2048 bytes with the terminating NUL.
  static constexpr std::size_t kMaxValueLength = 2047;

  IniFile() = default;
  // Reads the file now; a missing or unreadable file reads as empty.
  static IniFile Load(const std::string& path);
  static IniFile FromBytes(std::string bytes);

  // The value of the key, or nothing when the section or key is missing.
  std::optional<std::string> Find(std::string_view section, std::string_view key) const;
  std::string ReadString(std::string_view section, std::string_view key, const std::string& fallback) const;
  // Through TextToIntOr; a value that is not an integer gives the fallback.
  int32_t ReadInteger(std::string_view section, std::string_view key, int32_t fallback) const;
  // 0 is false, any other integer true; a value that is not an integer gives the fallback.
  bool ReadBool(std::string_view section, std::string_view key, bool fallback) const;
  // The key names of a section in file order, each once (first spelling kept).
  std::vector<std::string> Keys(std::string_view section) const;

  // Sets one key in the file at `path`, keeping every other byte as it was: the value is
  // replaced in place, or the key is added at the end of its section, or the section at the
  // end of the file, or the file is created.
  // Where it can, the new content goes to a temporary file in the same folder that takes
  // the original's owner and mode and is then renamed over it, so a failure leaves the file
  // as it was. Where the folder refuses the temporary file or the rename, where the owner
  // cannot be kept, or where the file has other hard links, the file is rewritten in place
  // (its inode, links, owner and mode stay). A symbolic link is followed to the file it
  // names, which is written (or created); the link stays.
  // Throws std::runtime_error on failure, also for a name or value the file cannot hold
  // (line breaks, a ']' in a section name, a '=' in a key name).
  static void WriteString(const std::string& path, std::string_view section, std::string_view key,
                          std::string_view value);

  // The content after setting one key (the pure part of WriteString).
  static std::string WithValue(const std::string& content, std::string_view section, std::string_view key,
                               std::string_view value);

 private:
  struct Entry {
    std::string key;
    std::string value;
  };
  struct Section {
    std::string name;
    std::vector<Entry> entries;
  };

  const Section* FindSection(std::string_view name) const;

  std::vector<Section> sections_;
};

// ASCII-only case-insensitive equality, as names in the file are compared.
bool EqualsNoCase(std::string_view a, std::string_view b);

}  // namespace drv

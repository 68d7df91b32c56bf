#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/reporting.h"

namespace drv {

// The spool: one file per message, named <prefix><hex time value>.dd8, holding the 4-byte
// little-endian message type and then the payload. The prefix is plain text put in front
// of the name: "spool/" names a folder, "spool" makes names starting with "spool" beside
// it, and an empty prefix means the current directory.
//
// Writing and reading run on the main thread; RemoveSpoolFile may run on the link thread.
class SpoolFolder {
 public:
  using ErrorCodeWriter = std::function<void(int32_t code)>;

  static constexpr const char kExtension[] = ".dd8";
  // Suffixes that keep a file out of the replay: one being written, one that can't be read.
  static constexpr const char kTempSuffix[] = ".tmp";
  static constexpr const char kSetAsideSuffix[] = ".bad";
  static constexpr int32_t kNameErrorCode = 11;

  struct SpoolFile {
    uint32_t type = 0;
    std::vector<uint8_t> payload;
  };

  // An empty `write_error_code` writes to the error list file.
  SpoolFolder(const Clock& clock, std::string prefix, Reporter& reporter, ErrorCodeWriter write_error_code = {});

  // ((day × 86400 + h × 3600 + m × 60 + s) × 1000 + ms) as unsigned 32-bit, upper-case hex,
  // no leading zeros. Throws std::invalid_argument for a time that is no date.
  static std::string SpoolName(DateTime when);

  // Stores one message under a name no other spool file has. The file appears under its
  // .dd8 name only once complete and on disk. False (reported) when it could not be stored.
  // Inside a batch the folder holding the new name is synced once, when the batch commits.
  bool WriteSpoolFile(uint32_t type, std::span<const uint8_t> payload);

  // The records of one received packet are many files written in one go: they share one
  // sync of the folder. Batches nest.
  void BeginBatch();
  void CommitBatch();
  class Batch {
   public:
    explicit Batch(SpoolFolder& folder) : folder_(folder) { folder_.BeginBatch(); }
    ~Batch() { folder_.CommitBatch(); }
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

   private:
    SpoolFolder& folder_;
  };

  // Path (prefix + name) of the first *.dd8 entry the folder listing yields, hidden files
  // included; not sorted.
  std::optional<std::string> FindFirstSpoolFile() const;

  // Reads one spool file. A file that exists but can never be read (shorter than the type
  // code, unreadable) is renamed aside so the files behind it still go; nullopt then, and
  // also when the file has gone meanwhile.
  std::optional<SpoolFile> ReadSpoolFile(const std::string& path);

  // True when the file existed and was deleted.
  bool RemoveSpoolFile(const std::string& path) const;

  // Renames a file whose message the server keeps refusing to the set-aside name, with an
  // operator line naming it. True when it was moved.
  bool SetAsideRefused(const std::string& path);

  const std::string& Prefix() const { return prefix_; }

 private:
  std::string FolderPart() const;
  void RemoveLeftoverTemps() const;
  std::string NamePart() const;
  bool WriteTemp(const std::string& temp_path, std::span<const uint8_t> bytes, std::string& error);
  bool Publish(const std::string& temp_path, uint32_t value);
  void SyncFolder();
  void Failed(const std::string& path, const std::string& error);
  void SetAsideUnreadable(const std::string& path, const std::string& why);
  // Moves `path` to a free set-aside name; `operator_line` gets the new name. False when the
  // file could not be moved (or had gone).
  bool SetAside(const std::string& path, const std::string& why,
                const std::function<std::string(const std::string& target)>& operator_line);

  const Clock& clock_;
  std::string prefix_;
  Reporter& reporter_;
  ErrorCodeWriter write_error_code_;
  int batch_depth_ = 0;
  bool folder_sync_due_ = false;
  uint64_t temp_counter_ = 0;
};

}  // namespace drv

#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/reporting.h"

namespace drv {

// The spool: one file per message, named <prefix><hex time value>.dd8, holding the 4-byte
// little-endian message type and then the payload. The prefix is plain text put in front
// of the name: "spool/" names a folder, "spool" makes names starting with "spool" beside
// it, and an empty prefix means the current directory.
//
// Every operation may run on the main thread and the link thread at once. The folder named
// by the prefix is created when missing, at start and again when a write finds it gone.
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

  // What a quiet write has to tell; the caller reports it when it holds no lock.
  struct WriteNotes {
    std::string path;            // the name tried, for the report
    std::string error;           // why it failed; empty when written
    std::string created_folder;  // the spool folder had to be created
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
  // The same, telling the caller instead of the reporter (error code 11 is still written).
  bool WriteQuietly(uint32_t type, std::span<const uint8_t> payload, WriteNotes& notes);

  // The records of one received packet are many files written in one go: they share one
  // sync of the folder. Batches nest and belong to the thread that began them: another
  // thread's writes are synced as they come.
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
  // included; not sorted. The extension matches in any case (1CC3B272.DD8).
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
  struct BatchState {
    int depth = 0;
    bool sync_due = false;
  };

  std::string FolderPart() const;
  std::string NamePart() const;
  // Creates the folder of the prefix when it is missing; its path when it had to.
  std::optional<std::string> EnsureFolder() const;
  // Leftover temporary files: a whole record is published, a partial one removed.
  void RecoverLeftoverTemps();
  bool WriteTemp(const std::string& temp_path, std::span<const uint8_t> bytes, std::string& error);
  bool Publish(const std::string& temp_path, uint32_t value, std::string& error);
  void SyncFolder();
  void Report(const WriteNotes& notes);
  void SetAsideUnreadable(const std::string& path, const std::string& why);
  // Moves `path` to a free set-aside name; `operator_line` gets the new name. False when the
  // file could not be moved (or had gone).
  bool SetAside(const std::string& path, const std::string& why,
                const std::function<std::string(const std::string& target)>& operator_line);

  const Clock& clock_;
  std::string prefix_;
  Reporter& reporter_;
  ErrorCodeWriter write_error_code_;
  std::mutex batch_mutex_;
  std::map<std::thread::id, BatchState> batches_;
  std::atomic<uint64_t> temp_counter_{0};
};

}  // namespace drv

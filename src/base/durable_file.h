#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <string_view>

// Files that survive a crash or a power cut whole: written beside their final name, synced,
// then moved into place, and the folder synced so that the new name lasts too.
namespace drv::durable {

struct NewFile {
  mode_t mode = 0644;
  // Fail when a file of that name exists instead of truncating it.
  bool exclusive = false;
  // Take this file's owner, group and mode (owner first: a change of owner clears set-id bits).
  const struct stat* like = nullptr;
  // Sync the data before the file is closed.
  bool sync = true;
};

enum class Step { kNone, kOpen, kOwner, kWrite, kSync, kClose };

struct WriteResult {
  Step failed_at = Step::kNone;
  int error = 0;  // errno of the failed step
  explicit operator bool() const { return failed_at == Step::kNone; }
};

// "open", "owner", "write", "sync" or "close".
const char* StepName(Step step);

// Writes all of `data` to `fd`; 0, or the errno of the failed write.
int WriteAll(int fd, std::string_view data);

// Creates `path`, writes all of `data` and (by default) syncs it. A file it created and
// could not finish is removed; a failed open leaves nothing.
WriteResult WriteFile(const std::string& path, std::string_view data, const NewFile& how = {});

// rename(2): an existing `to` is replaced. 0, or the errno.
int MoveReplacing(const std::string& from, const std::string& to);

enum class MoveResult { kDone, kTaken, kFailed };

// Moves `from` to `to` without ever replacing an existing `to` (kTaken then). Falls back to a
// hard link and, on file systems that have neither, to a check before a plain rename.
// kFailed sets `error` to the errno.
MoveResult MoveNoReplace(const std::string& from, const std::string& to, int& error);

// Syncs the folder itself, so that the names just made in it reach the disk. 0, or the errno;
// a file system that cannot sync a folder (EINVAL) counts as done.
int SyncFolder(const std::string& folder);

}  // namespace drv::durable

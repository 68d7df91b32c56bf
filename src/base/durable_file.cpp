#include "base/durable_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace drv::durable {

const char* StepName(Step step) {
  switch (step) {
    case Step::kNone: return "";
    case Step::kOpen: return "open";
    case Step::kOwner: return "owner";
    case Step::kWrite: return "write";
    case Step::kSync: return "sync";
    case Step::kClose: return "close";
  }
  return "";
}

int WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t put = ::write(fd, data.data(), data.size());
    if (put < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data.remove_prefix(static_cast<std::size_t>(put));
  }
  return 0;
}

WriteResult WriteFile(const std::string& path, std::string_view data, const NewFile& how) {
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (how.exclusive ? O_EXCL : O_TRUNC);
  const int fd = ::open(path.c_str(), flags, how.mode);
  if (fd < 0) return {Step::kOpen, errno};
  WriteResult result;
  const auto fail = [&result](Step step, int error) {
    if (!result) return;
    result = {step, error};
  };
  if (how.like != nullptr) {
    if (::fchown(fd, how.like->st_uid, how.like->st_gid) != 0) fail(Step::kOwner, errno);
    if (result && ::fchmod(fd, how.like->st_mode & 07777) != 0) fail(Step::kOwner, errno);
  }
  if (result) {
    if (const int error = WriteAll(fd, data); error != 0) fail(Step::kWrite, error);
  }
  if (result && how.sync && ::fsync(fd) != 0) fail(Step::kSync, errno);
  if (::close(fd) != 0) fail(Step::kClose, errno);
  if (!result) ::unlink(path.c_str());
  return result;
}

int MoveReplacing(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

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

int SyncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int error = ::fsync(fd) != 0 && errno != EINVAL ? errno : 0;
  ::close(fd);
  return error;
}

}  // namespace drv::durable

#pragma once

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

namespace drv::test {

// File permissions do not bind root, and CI runs as root: a test of what a denied
// permission does runs `body` in a child that has dropped to the unprivileged user
// "nobody" first (as itself when not root). `folder` is handed to that user so the child can
// reach it. True when `body` returned normally in the child.
inline bool RunUnprivileged(const std::filesystem::path& folder, const std::function<void()>& body) {
  constexpr uid_t kNobody = 65534;
  constexpr gid_t kNoGroup = 65534;
  const bool root = ::geteuid() == 0;
  if (root) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
      [[maybe_unused]] const int ignored = ::lchown(entry.path().c_str(), kNobody, kNoGroup);
    }
    if (::chown(folder.c_str(), kNobody, kNoGroup) != 0) return false;
  }
  const pid_t child = ::fork();
  if (child < 0) return false;
  if (child == 0) {
    if (root && (::setgroups(0, nullptr) != 0 || ::setgid(kNoGroup) != 0 || ::setuid(kNobody) != 0)) ::_exit(3);
    try {
      body();
    } catch (...) {
      ::_exit(2);
    }
    ::_exit(0);
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace drv::test

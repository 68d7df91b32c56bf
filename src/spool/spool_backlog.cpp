#include "spool/spool_backlog.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cctype>
#include <string_view>

namespace drv {
namespace {

bool EndsWithIgnoringCase(std::string_view name, std::string_view tail) {
  if (name.size() < tail.size()) return false;
  return std::equal(tail.begin(), tail.end(), name.end() - static_cast<std::ptrdiff_t>(tail.size()),
                    [](char a, char b) {
                      return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
                    });
}

}  // namespace

double UnixNowSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

SpoolBacklogScan ScanSpoolBacklog(const std::string& prefix, double now_unix_seconds) {
  const auto slash = prefix.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : prefix.substr(0, slash + 1);
  const std::string name_part = slash == std::string::npos ? prefix : prefix.substr(slash + 1);

  SpoolBacklogScan scan;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) {
    scan.folder_readable = false;
    return scan;
  }
  bool any = false;
  double oldest = 0;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name.size() < name_part.size() + 4 || !name.starts_with(name_part)) continue;
    if (!EndsWithIgnoringCase(name, ".dd8")) continue;
    struct stat st{};
    // A file acknowledged and deleted since the listing simply does not count.
    if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
    ++scan.files;
    const double modified = static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) / 1e9;
    if (!any || modified < oldest) oldest = modified;
    any = true;
  }
  ::closedir(dir);
  if (any) scan.oldest_age_seconds = std::max(0.0, now_unix_seconds - oldest);
  return scan;
}

}  // namespace drv

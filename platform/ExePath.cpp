#include "platform/ExePath.h"

#include <limits.h>
#include <unistd.h>


namespace {
std::string ReadExecutablePath() {
  std::string path(PATH_MAX, '\0');
  for (;;) {
    ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
    if (n < 0) return std::string();
    if (static_cast<std::size_t>(n) < path.size()) {
      path.resize(static_cast<std::size_t>(n));
      break;
    }
    path.resize(path.size() * 2);
  }
  // The uninstaller deletes its own file and must still find its folder and log.
  static const char kDeleted[] = " (deleted)";
  constexpr std::size_t kDeletedLen = sizeof kDeleted - 1;
  if (path.size() > kDeletedLen && path.compare(path.size() - kDeletedLen, kDeletedLen, kDeleted) == 0)
    path.resize(path.size() - kDeletedLen);
  return path;
}

// Never destroyed: detached worker threads may still write a log line while the process
// exits.
std::string& CachedPath() {
  static std::string* path = new std::string(ReadExecutablePath());
  return *path;
}
}  // namespace

const std::string& ExecutablePath() { return CachedPath(); }

std::string ExecutableFolder() {
  const std::string& path = ExecutablePath();
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return path.substr(0, slash);
}

void SetExecutablePathForTest(const std::string& path) { CachedPath() = path; }

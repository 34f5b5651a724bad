#include "platform/PathRemove.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/LastError.h"

bool SplitAbsolutePath(const std::string& path, std::vector<std::string>* components) {
  components->clear();
  if (path.empty() || path[0] != '/') return false;
  if (path.size() == 1) return true;
  std::size_t start = 1;
  for (;;) {
    const std::size_t end = path.find('/', start);
    const std::string part = path.substr(start, end == std::string::npos ? end : end - start);
    if (part.empty() || part == "." || part == "..") return false;
    components->push_back(part);
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

namespace {
// Why an open or removal of name in folder failed. A link opened with O_NOFOLLOW |
// O_DIRECTORY, or removed with AT_REMOVEDIR, fails with ENOTDIR (ELOOP on some file systems);
// only then is it told apart from a plain file.
RemoveStatus Failure(int folder, const std::string& name, const std::string& walked,
                     std::string* link) {
  const int error = errno;
  struct stat st;
  if ((error == ENOTDIR || error == ELOOP) &&
      fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
    if (link) *link = walked;
    return RemoveStatus::kLinkOnPath;
  }
  SetLastError(error);
  return RemoveStatus::kFailed;
}
}  // namespace

RemoveStatus RemoveWithoutLinks(const std::string& path, bool folder, std::string* link) {
  std::vector<std::string> parts;
  if (!SplitAbsolutePath(path, &parts) || parts.empty()) return RemoveStatus::kBadPath;
  int at = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (at < 0) {
    SetLastErrorFromErrno();
    return RemoveStatus::kFailed;
  }
  RemoveStatus status = RemoveStatus::kRemoved;
  std::string walked;
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    walked += "/" + parts[i];
    const int next = openat(at, parts[i].c_str(), O_PATH | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC);
    if (next < 0) {
      status = Failure(at, parts[i], walked, link);
      break;
    }
    close(at);
    at = next;
  }
  if (status == RemoveStatus::kRemoved) {
    walked += "/" + parts.back();
    if (unlinkat(at, parts.back().c_str(), folder ? AT_REMOVEDIR : 0) != 0)
      status = Failure(at, parts.back(), walked, link);
  }
  close(at);
  return status;
}

#include "platform/FileReplace.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <vector>

#include "platform/LastError.h"

namespace {
std::vector<FileReplace*>& OpenReplacements() {
  static std::vector<FileReplace*> open;
  return open;
}

void Forget(FileReplace* file) {
  auto& open = OpenReplacements();
  open.erase(std::remove(open.begin(), open.end(), file), open.end());
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// An existing destination that nobody may write counts as read-only, even for root.
bool IsReadOnly(const std::string& destination) {
  struct stat st;
  if (lstat(destination.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) return false;
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return true;
  return geteuid() != 0 && S_ISREG(st.st_mode) && access(destination.c_str(), W_OK) != 0;
}
}  // namespace

FileReplace::~FileReplace() { Abort(); }

int CreateTempBeside(const std::string& destination, mode_t mode, std::string* temp_path) {
  const std::string folder = FolderOf(destination);
  const std::string base = BaseOf(destination);
  if (base.empty()) {
    SetLastError(EISDIR);
    return -1;
  }
  std::random_device seed;
  std::mt19937 random(seed());
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    // Keep the temporary name within NAME_MAX however long the destination's name is.
    std::string name = folder + "/." + base.substr(0, 200) + ".";
    for (int i = 0; i < 8; ++i) name += kChars[random() % (sizeof kChars - 1)];
    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0) {
      *temp_path = name;
      return fd;
    }
    if (errno != EEXIST) break;
  }
  SetLastErrorFromErrno();
  return -1;
}

bool FileReplace::Open(const std::string& destination, mode_t mode) {
  Abort();
  if (IsReadOnly(destination)) {
    SetLastError(EACCES);
    return false;
  }
  std::string name;
  const int fd = CreateTempBeside(destination, mode, &name);
  if (fd < 0) return false;
  fd_ = fd;
  temp_ = name;
  destination_ = destination;
  OpenReplacements().push_back(this);
  return true;
}

bool FileReplace::Write(const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = write(fd_, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      SetLastErrorFromErrno();
      return false;
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool FileReplace::Commit() {
  if (fd_ < 0) {
    SetLastError(EBADF);
    return false;
  }
  const int fd = fd_;
  fd_ = -1;
  if (close(fd) != 0 || rename(temp_.c_str(), destination_.c_str()) != 0) {
    SetLastErrorFromErrno();
    const int saved = GetLastError();
    unlink(temp_.c_str());
    temp_.clear();
    Forget(this);
    SetLastError(saved);
    return false;
  }
  temp_.clear();
  Forget(this);
  return true;
}

void FileReplace::Abort() {
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
  if (!temp_.empty()) {
    unlink(temp_.c_str());
    temp_.clear();
  }
  Forget(this);
}

void AbortOpenReplacements() {
  // Abort() removes the entry, so take a copy first.
  const std::vector<FileReplace*> open = OpenReplacements();
  for (FileReplace* file : open) file->Abort();
}

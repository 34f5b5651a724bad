#include "setup/Install.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "Common/Log.h"
#include "platform/FileReplace.h"
#include "platform/LastError.h"
#include "setup/SetupState.h"
#include "setup/Uninstall.h"

static const char kModule[] = "setup/Install";

std::string InstallItem::SourcePath() const {
  if (!parent_) return g_source_folder;
  const std::string parent = parent_->SourcePath();
  return parent.empty() ? name_ : parent + "/" + name_;
}

std::string InstallItem::DestinationPath() const {
  const std::string& own = target_name_.empty() ? name_ : target_name_;
  if (!parent_) return own;
  return parent_->DestinationPath() + "/" + own;
}

InstallFolder* SetupOptions::AddFolder(const std::string& path) {
  auto folder = std::make_unique<InstallFolder>(nullptr, path, 1);
  current_folder = folder.get();
  items.push_back(std::move(folder));
  return current_folder;
}

InstallFile* SetupOptions::AddFile(const std::string& name, int logged) {
  auto file = std::make_unique<InstallFile>(current_folder, name, logged);
  InstallFile* result = file.get();
  current_folder->children().push_back(std::move(file));
  return result;
}

InstallFile* SetupOptions::AddFileAs(const std::string& name, const std::string& target_name) {
  InstallFile* file = AddFile(name, 1);
  file->set_target_name(target_name);
  return file;
}

void MakeFolderPath(const std::string& path) {
  if (path == "/") return;
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return;
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return;
  const std::string parent = slash == 0 ? "/" : path.substr(0, slash);
  MakeFolderPath(parent);
  // A trailing '/' names the parent just made: that is no failure.
  if (mkdir(path.c_str(), 0755) != 0 && !(errno == EEXIST && stat(path.c_str(), &st) == 0 &&
                                          S_ISDIR(st.st_mode))) {
    SetLastErrorFromErrno();
    FatalError(path.c_str(), kModule, __LINE__);
  }
}

std::string FindPackageFile(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0) return path;
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  DIR* dir = opendir(folder.c_str());
  if (!dir) return path;
  std::vector<std::string> matches;
  while (struct dirent* entry = readdir(dir)) {
    if (strcasecmp(entry->d_name, name.c_str()) == 0) matches.emplace_back(entry->d_name);
  }
  closedir(dir);
  if (matches.empty()) return path;
  std::sort(matches.begin(), matches.end());
  return (folder == "/" ? "" : folder) + "/" + matches.front();
}

namespace {
// Opens a package file for reading; FatalError naming the source path when it cannot.
int OpenSource(const std::string& source, int line) {
  const int fd = open(FindPackageFile(source).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    SetLastErrorFromErrno();
    FatalError(source.c_str(), kModule, line);
  }
  return fd;
}

// Reads until size bytes or the end of the file, so that progress counts whole chunks.
ssize_t ReadChunk(int fd, char* buffer, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = read(fd, buffer + got, size - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(got);
}
}  // namespace

uint64_t InstallFile::GetSize() {
  const std::string source = SourcePath();
  const int fd = OpenSource(source, __LINE__);
  struct stat st;
  const bool ok = fstat(fd, &st) == 0;
  if (!ok) SetLastErrorFromErrno();
  close(fd);
  if (!ok) FatalError(source.c_str(), kModule, __LINE__);
  return static_cast<uint64_t>(st.st_size);
}

void InstallFile::Install(CopyProgress& window) {
  const std::string source = SourcePath();
  const std::string destination = DestinationPath();
  window.SetLines(source, destination);

  const int in = OpenSource(source, __LINE__);
  struct stat st;
  if (fstat(in, &st) != 0) {
    SetLastErrorFromErrno();
    FatalError(source.c_str(), kModule, __LINE__);
  }
  // Programs keep their run permission.
  const mode_t mode = (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) ? 0755 : 0644;
  FileReplace out;
  if (!out.Open(destination, mode)) FatalError(destination.c_str(), kModule, __LINE__);

  static char buffer[kCopyChunk];
  for (;;) {
    const ssize_t n = ReadChunk(in, buffer, sizeof buffer);
    if (n < 0) {
      SetLastErrorFromErrno();
      FatalError(source.c_str(), kModule, __LINE__);
    }
    if (n == 0) break;
    if (!out.Write(buffer, static_cast<std::size_t>(n)))
      FatalError(destination.c_str(), kModule, __LINE__);
    window.DeltaPos(static_cast<uint32_t>(n / 1024));
  }
  close(in);
  if (!out.Commit()) FatalError(destination.c_str(), kModule, __LINE__);
  if (logged()) g_log.WriteRecord(kRecordFile, destination, "");
}

uint64_t InstallFolder::GetSize() {
  uint64_t total = 0;
  for (auto& child : children_) total += child->GetSize();
  return total;
}

void InstallFolder::Install(CopyProgress& window) {
  const std::string destination = DestinationPath();
  MakeFolderPath(destination);
  for (auto& child : children_) child->Install(window);
  g_log.WriteRecord(kRecordFolder, destination, "");
}

void InstallFolder::PreInstall() {
  for (auto& child : children_) child->PreInstall();
}

void InstallFolder::PostInstall() {
  for (auto& child : children_) child->PostInstall();
}

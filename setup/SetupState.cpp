#include "setup/SetupState.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Common/Log.h"
#include "Common/Registry.h"
#include "platform/FileReplace.h"
#include "platform/LastError.h"

static const char kModule[] = "setup/setup";

SetupOptions g_options;
UninstallLog g_log;
std::string g_source_folder;
std::string g_program_files;
std::string g_programs;
std::string g_default_install_folder;

std::string FolderOfPath(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return path;
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string AbsoluteFolder(const std::string& typed, const std::string& current,
                           const std::string& home) {
  if (typed.empty()) return typed;
  std::string path = typed;
  const bool tilde = path[0] == '~' && (path.size() == 1 || path[1] == '/');
  if (tilde && !home.empty() && home[0] == '/') {
    path = home + path.substr(1);
  } else if (path[0] != '/') {
    path = current + "/" + path;
  }
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string folder;
  for (const std::string& part : parts) folder += "/" + part;
  return folder;
}

std::string ProgramCaption(const std::string& exe_path) {
  std::string name = exe_path.substr(exe_path.rfind('/') + 1);
  const std::size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name;
}

bool IsUninstallMode(const std::string& exe_path, int argument_count) {
  return exe_path.find("Uninstall") != std::string::npos || argument_count == 1;
}

bool InitSetupFolders(const std::string& exe_path) {
  g_source_folder = FolderOfPath(exe_path);

  RegistryKey key;
  bool b = key.Open(kCurrentVersionKey);
  if (!VERIFY(b)) return false;
  char text[kRegTextBytes] = "";
  key.GetString("ProgramFilesDir", text);
  g_program_files = text;
  key.Close();

  char programs[kRegTextBytes] = "";
  if (key.Open(kShellFoldersKey)) {
    key.GetString("Common Programs", programs);
    key.Close();
  }
  if (key.OpenUser(kShellFoldersKey)) {
    if (programs[0] == '\0') key.GetString("Programs", programs);
    key.Close();
  }
  g_programs = programs;

  g_default_install_folder = g_program_files + "/" + kProduct;
  g_options.install_folder = g_default_install_folder;
  return true;
}

void SaveWorkOnFatalError() {
  LastErrorKeeper keep;
  AbortOpenReplacements();
  g_log.Flush();
}

void ResetSetupOptions() {
  g_options.items.clear();
  g_options.current_folder = nullptr;
  g_options.install_server = 1;
  g_options.install_viewer = 1;
  g_options.multicast_target = "227.0.0.1";
  g_options.multicast_port = 10510;
  g_options.stream_key.clear();
  g_options.install_folder = g_default_install_folder;
}

std::string LoadLicenseText(const std::string& folder) {
  std::string text;
  const int fd = open(FindPackageFile(folder + "/license.txt").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char block[4096];
  for (;;) {
    // A block is read whole where the file allows, so that "up to its first zero byte"
    // means the same on every file system.
    std::size_t got = 0;
    while (got < sizeof block) {
      const ssize_t n = read(fd, block + got, sizeof block - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    if (got == 0) break;
    text.append(block, strnlen(block, got));
    if (got < sizeof block) break;
  }
  close(fd);
  return text;
}

bool ParseDialogInt(const std::string& whole, int* value) {
  const std::string text = whole.substr(0, 31);
  const char* p = text.c_str();
  while (*p == ' ' || *p == '\t') ++p;
  const char* start = p;
  if (*p == '+' || *p == '-') ++p;
  if (*p < '0' || *p > '9') return false;
  errno = 0;
  char* end = nullptr;
  const long n = std::strtol(start, &end, 10);
  if (errno == ERANGE || n < INT_MIN || n > INT_MAX) return false;
  if (n == 0 && *start != '0') return false;  // "-0" and "+0" are refused, as the dialogs did
  while (*end == ' ' || *end == '\t') ++end;
  if (*end != '\0') return false;
  *value = static_cast<int>(n);
  return true;
}

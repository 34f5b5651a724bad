#include "Common/Helper.h"

#include <glob.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "Common/Log.h"
#include "platform/LastError.h"

static const char kModule[] = "Common/Helper";

namespace {
// Anything at the path, folder or file (a link counts by what it points to).
bool Exists(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return true;
  SetLastErrorFromErrno();
  return false;
}
}  // namespace

bool CreateDirectoryTree(const char* path) {
  const std::string target = path ? path : "";
  if (Exists(target)) return true;
  for (;;) {
    const size_t cut = target.rfind('/');
    const bool p = cut != std::string::npos;
    if (!VERIFY(p)) return false;
    // Cutting "/A" leaves nothing: the parent is the root, where a drive letter stood.
    const std::string parent = cut == 0 ? "/" : target.substr(0, cut);
    bool b = CreateDirectoryTree(parent.c_str());
    if (!VERIFY(b)) return false;
    Trace("Creating directory >%s<\n", target.c_str());
    b = mkdir(target.c_str(), 0777) == 0;
    if (!b) SetLastErrorFromErrno();
    if (!VERIFY(b)) return false;
    if (Exists(target)) return true;
  }
}

bool FileExists(const char* pattern) {
  if (!pattern || !*pattern) return false;
  const std::string text = pattern;
  struct stat st;
  // Without wildcards the name is taken literally; lstat finds a link even when it dangles.
  if (text.find_first_of("*?") == std::string::npos) return lstat(pattern, &st) == 0;
  // Only * and ? are wildcards here, as in a file search: brackets and backslashes in names
  // are literal characters, so glob must see them escaped.
  std::string escaped;
  for (char c : text) {
    if (c == '[' || c == ']' || c == '\\') escaped += '\\';
    escaped += c;
  }
  glob_t found;
  memset(&found, 0, sizeof found);
  // GLOB_PERIOD: names starting with a dot are not hidden from a file search.
  const int rc = glob(escaped.c_str(), GLOB_NOSORT | GLOB_PERIOD, nullptr, &found);
  // GLOB_PERIOD lets "*" match "." and ".." too; they are not files in the folder, unless
  // the pattern names them itself.
  const size_t slash = text.rfind('/');
  const std::string last = slash == std::string::npos ? text : text.substr(slash + 1);
  const bool dots_named = last == "." || last == "..";
  bool any = false;
  if (rc == 0) {
    for (size_t i = 0; i < found.gl_pathc && !any; ++i) {
      const char* name = strrchr(found.gl_pathv[i], '/');
      name = name ? name + 1 : found.gl_pathv[i];
      any = dots_named || (strcmp(name, ".") != 0 && strcmp(name, "..") != 0);
    }
  }
  globfree(&found);
  return any;
}

#include "Common/Registry.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "Common/Log.h"
#include "platform/LastError.h"

namespace {
const char kSettingsRoot[] = "SOFTWARE\\Orvane\\VARNO";

// "%s\\%s" of the settings root and the section. A section name that would be cut is refused
// rather than cut: the cut path could name another key.
bool SettingsPath(const char* section, char (&path)[kRegTextBytes]) {
  if (!section) return false;
  int n = snprintf(path, sizeof path, "%s\\%s", kSettingsRoot, section);
  if (n < 0 || n >= static_cast<int>(sizeof path)) {
    SetLastError(ENAMETOOLONG);
    return false;
  }
  return true;
}
}  // namespace

bool RegistryKey::OpenIn(Hive hive, const char* path, bool create) {
  if (key_.valid()) key_.Close();
  if (!path) {
    SetLastError(EINVAL);
    return false;
  }
  int rc = create ? RegKey::Create(hive, path, "REG_SZ", key_) : RegKey::Open(hive, path, key_);
  if (rc != 0) {
    SetLastError(rc);
    return false;
  }
  hive_ = hive;
  path_ = path;
  return true;
}

bool RegistryKey::Create(const char* path) { return OpenIn(Hive::LocalMachine, path, true); }

bool RegistryKey::Open(const char* path) { return OpenIn(Hive::LocalMachine, path, false); }

bool RegistryKey::OpenReported(const char* path) {
  if (OpenIn(Hive::LocalMachine, path, false)) return true;
  ReportError("RegOpenKeyEx(%s)", path ? path : "");
  return false;
}

bool RegistryKey::OpenUser(const char* path) { return OpenIn(Hive::CurrentUser, path, false); }

// Closing a key that is not open fails without touching the last error, so that the
// destructor after a failed open keeps that failure's cause.
bool RegistryKey::Close() { return key_.valid() && key_.Close() == 0; }

bool RegistryKey::GetDword(const char* name, uint32_t* value) {
  uint32_t data = 0, type = REG_NONE, length = sizeof data;
  if (key_.QueryValue(name, &type, &data, &length) != 0) return false;
  if (type != REG_DWORD || length != sizeof data) {
    SetLastError(kRegMissing);
    return false;
  }
  if (value) *value = data;
  return true;
}

bool RegistryKey::SetDword(const char* name, uint32_t value) {
  return key_.SetValue(name, REG_DWORD, &value, sizeof value) == 0;
}

bool RegistryKey::GetString(const char* name, char* buffer) {
  if (!buffer) return false;
  // Read into a buffer of our own, so that the caller's default survives every failure.
  char text[kRegTextBytes];
  uint32_t type = REG_NONE, length = sizeof text;
  if (key_.QueryValue(name, &type, text, &length) != 0) return false;
  const size_t n = std::min<size_t>(length, kRegTextBytes - 1);
  text[n] = '\0';
  if (type == REG_EXPAND_SZ) {
    std::string expanded = ExpandEnvironmentStrings(text);
    // An expansion that does not fit fails: a cut path would name some other file.
    if (expanded.size() >= kRegTextBytes) {
      SetLastError(kRegMoreData);
      return false;
    }
    memcpy(buffer, expanded.c_str(), expanded.size() + 1);
    return true;
  }
  // Other types are raw bytes, terminated the same way (a REG_DWORD gives its 4 bytes).
  memcpy(buffer, text, n + 1);
  return true;
}

bool RegistryKey::SetString(const char* name, const char* text) {
  if (!text) return false;
  const size_t length = strlen(text) + 1;
  if (length > UINT32_MAX) return false;
  return key_.SetValue(name, REG_SZ, text, static_cast<uint32_t>(length)) == 0;
}

bool RegistryKey::DeleteSubKeyTree(const char* name) {
  const std::string sub = name ? name : "";
  // The child's path is built whole: cut at 259 characters it could name another key, whose
  // sub-keys the loop below would then delete. A path the store refuses fails the open.
  const std::string child_path = path_.empty() ? sub : path_ + "\\" + sub;
  RegistryKey child;
  if (!child.OpenIn(hive_, child_path.c_str(), false)) {
    ReportError("RegOpenKeyEx(%s)", child_path.c_str());
    return false;
  }
  // Index 0 every time: each deletion moves the next sub-key to the front.
  std::string grandchild;
  while (child.key_.EnumKey(0, grandchild) == 0) {
    if (!child.DeleteSubKeyTree(grandchild.c_str())) {
      child.Close();
      return false;
    }
    grandchild.clear();
  }
  child.Close();
  const int rc = key_.DeleteKey(sub.c_str());
  if (rc == 0) return true;
  SetLastError(rc);
  ReportError("RegDeleteKey(%s)", sub.c_str());
  return false;
}

bool DeleteKeyTree(const char* path) {
  if (!path) return false;
  const std::string full = path;
  const size_t cut = full.rfind('\\');
  if (cut == std::string::npos) return false;
  const std::string parent = full.substr(0, cut);
  const std::string name = full.substr(cut + 1);
  // An empty parent would open the hive's root and an empty name the parent itself: neither
  // is a key of this path, so nothing is deleted.
  if (parent.empty() || name.empty()) {
    SetLastError(EINVAL);
    ReportError("RegOpenKeyEx(%s)", path);
    return false;
  }
  RegistryKey key;
  if (!key.OpenReported(parent.c_str())) return false;
  const bool done = key.DeleteSubKeyTree(name.c_str());
  key.Close();
  return done;
}

bool GetSettingDword(const char* name, uint32_t* value, const char* section) {
  char path[kRegTextBytes];
  if (!SettingsPath(section, path)) return false;
  RegistryKey key;
  if (!key.Open(path)) return false;
  const bool done = key.GetDword(name, value);
  key.Close();
  return done;
}

bool GetSettingString(const char* name, char* buffer, const char* section) {
  char path[kRegTextBytes];
  if (!SettingsPath(section, path)) return false;
  RegistryKey key;
  if (!key.Open(path)) return false;
  const bool done = key.GetString(name, buffer);
  key.Close();
  return done;
}

bool SetSettingDword(const char* name, uint32_t value, const char* section) {
  char path[kRegTextBytes];
  if (!SettingsPath(section, path)) return false;
  RegistryKey key;
  if (!key.Create(path)) return false;
  const bool done = key.SetDword(name, value);
  key.Close();
  return done;
}

bool SetSettingString(const char* name, const char* text, const char* section) {
  char path[kRegTextBytes];
  if (!SettingsPath(section, path)) return false;
  RegistryKey key;
  if (!key.Create(path)) return false;
  const bool done = key.SetString(name, text);
  key.Close();
  return done;
}

#pragma once
// Small file and registry helpers for the installer's tests.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Common/Registry.h"
#include "setup/Uninstall.h"

inline void WriteFile(const std::string& path, const std::string& data, mode_t mode = 0644) {
  { std::ofstream(path, std::ios::binary | std::ios::trunc) << data; }
  chmod(path.c_str(), mode);
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

inline bool IsLink(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

inline mode_t ModeOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

struct LogRecord {
  char type;
  std::string first, second;
  bool operator==(const LogRecord&) const = default;
};

inline std::vector<LogRecord> ReadLog(const std::string& folder) {
  std::vector<LogRecord> records;
  UninstallLog log;
  if (!log.OpenLog(folder)) return records;
  LogRecord r;
  while (log.ReadRecord(&r.type, &r.first, &r.second)) records.push_back(r);
  log.CloseLog();
  return records;
}

inline std::ostream& operator<<(std::ostream& os, const LogRecord& r) {
  return os << r.type << " '" << r.first << "' '" << r.second << "'";
}

// Registry text values with the GoogleTest checks of a test; paths below HKEY_LOCAL_MACHINE.
inline void SetText(Hive hive, const char* key, const char* name, const std::string& text) {
  RegKey k;
  ASSERT_EQ(RegKey::Create(hive, key, "REG_SZ", k), 0);
  ASSERT_EQ(k.SetValue(name, REG_SZ, text.c_str(), static_cast<uint32_t>(text.size() + 1)), 0);
}
// A text value read without the 260-byte limit of the settings store; "<missing>" if absent.
inline std::string GetText(const char* key, const char* name) {
  RegKey k;
  if (RegKey::Open(Hive::LocalMachine, key, k) != 0) return "<missing>";
  char data[4096];
  uint32_t type = 0, length = sizeof data;
  if (k.QueryValue(name, &type, data, &length) != 0) return "<missing>";
  return std::string(data, length > 0 ? length - 1 : 0);
}
inline bool KeyExists(const char* key) {
  RegKey k;
  return RegKey::Open(Hive::LocalMachine, key, k) == 0;
}

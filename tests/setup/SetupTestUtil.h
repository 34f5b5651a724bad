#pragma once
// Small file helpers for the installer's tests.
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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

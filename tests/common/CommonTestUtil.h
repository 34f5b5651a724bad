#pragma once
// Helpers of the common-runtime tests: a log folder with a fixed clock, stderr capture, files.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/ExePath.h"
#include "tests/support/TestSupport.h"

namespace commontest {

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Lines of a text, each with its "\n" (a last unterminated piece kept as it is).
inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size() - 1;
    lines.push_back(text.substr(start, end - start + 1));
    start = end + 1;
  }
  return lines;
}

// Seconds since the epoch of a UTC date; the tests run with TZ=UTC.
inline std::time_t Utc(int year, int month, int day, int hour, int minute, int second) {
  struct tm tm {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  return timegm(&tm);
}

// The program "lives" in a fresh folder and the clock stands at 12 Dec 2003 15:12:49, so
// that the log goes to <dir>/varno-200312.log.
class LogPlace {
 public:
  explicit LogPlace(const std::string& program = "varno") {
    setenv("TZ", "UTC", 1);
    tzset();
    SetExecutablePathForTest(dir_ / program);
    SetTime(Utc(2003, 12, 12, 15, 12, 49));
  }
  ~LogPlace() { SetClockForTest(nullptr); }
  void SetTime(std::time_t t) {
    SetClockForTest([t] { return t; });
  }
  const testsupport::TempDir& dir() const { return dir_; }
  std::string LogPath(const std::string& name = "varno-200312.log") const { return dir_ / name; }
  std::string Log() const { return ReadFile(LogPath()); }

 private:
  testsupport::TempDir dir_;
};

// Standard error redirected into a file while it lives; text() reads what arrived so far.
class StderrCapture {
 public:
  StderrCapture() {
    std::fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    const int fd = open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    dup2(fd, STDERR_FILENO);
    close(fd);
  }
  ~StderrCapture() { Restore(); }
  void Restore() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    saved_ = -1;
  }
  std::string text() const { return ReadFile(file_); }

 private:
  testsupport::TempDir dir_;
  std::string file_ = dir_ / "stderr.txt";
  int saved_ = -1;
};

}  // namespace commontest

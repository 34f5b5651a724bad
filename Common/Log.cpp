#include "Common/Log.h"

#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Clock.h"
#include "platform/ExePath.h"
#include "platform/LastError.h"
#include "platform/MessageBox.h"

namespace {
// Formatted messages and whole lines live in 8192-byte buffers: at most 8191 characters.
constexpr std::size_t kMessageBytes = 8192;
constexpr std::size_t kMaxLine = kMessageBytes - 1;

std::atomic<FatalErrorHook> g_fatal_error_hook{nullptr};

// vsnprintf cuts the message at 8191 characters.
std::string FormatMessage(const char* format, va_list args) {
  char buffer[kMessageBytes];
  if (std::vsnprintf(buffer, sizeof buffer, format ? format : "", args) < 0) buffer[0] = '\0';
  return std::string(buffer);
}

// A line keeps its own parts (time stamp, error text, line end); only the message in the
// middle is shortened so that the whole stays within kMaxLine. Without a tail the line ends
// in the message's own "\n" or in one added here, so that the next line never runs on.
std::string BuildLine(const std::string& head, std::string message, const std::string& tail) {
  std::string end = tail;
  if (end.empty()) {
    if (!message.empty() && message.back() == '\n') message.pop_back();
    end = "\n";
  }
  if (head.size() + end.size() >= kMaxLine) return head.substr(0, kMaxLine - end.size()) + end;
  const std::size_t room = kMaxLine - head.size() - end.size();
  if (message.size() > room) message.resize(room);
  return head + message + end;
}

// One write(2) per text, so that lines of concurrent writers never interleave.
void WriteAll(int fd, const std::string& text) {
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

void WriteDebug(const std::string& text) {
  WriteAll(STDERR_FILENO, text.size() > kMaxLine ? text.substr(0, kMaxLine) : text);
}

std::string TimeStamp(const LocalTime& t) {
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "[%.4d/%.2d/%.2d-%.2d:%.2d:%.2d] ", t.year, t.month, t.day,
                t.hour, t.minute, t.second);
  return stamp;
}

// Opens a log file for appending. A link or anything but a regular file with one name is
// refused (EINVAL), so that a program run by root never writes where someone pointed the
// name; O_NONBLOCK keeps a named pipe from blocking the open.
int OpenLogFile(const std::string& name) {
  if (name.size() > PATH_MAX - 1) {
    errno = ENAMETOOLONG;
    return -1;
  }
  const int fd = open(name.c_str(),
                      O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink > 1) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

// Creates folder and its missing parents (new ones private to the user); false when it is
// not there afterwards.
bool MakeFolders(const std::string& folder) {
  for (std::size_t slash = folder.find('/', 1); ; slash = folder.find('/', slash + 1)) {
    const std::string part = folder.substr(0, slash);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
  }
  struct stat st;
  return stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The second place for a program whose own folder is not writable (installed system-wide).
int OpenStateLogFile(const std::string& name) {
  const char* home = getenv("HOME");
  std::string account_home;
  if (!home || !*home) {
    char buffer[4096];
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found) {
      account_home = found->pw_dir;
      home = account_home.c_str();
    }
  }
  const std::string folder = LogStateFolder(getenv("XDG_STATE_HOME"), home);
  if (folder.empty() || !MakeFolders(folder)) return -1;
  return OpenLogFile(folder + name.substr(name.rfind('/')));
}

// Appends one line to this month's log file: beside the executable, or in the state folder
// when the program may not write there. The debug copy is made only once a file is open, so
// that a lost line is lost everywhere alike.
void AppendLogLine(const std::string& message, const std::string& tail) {
  const LocalTime now = LocalNow();
  const std::string& exe = ExecutablePath();
  if (exe.empty()) return;
  const std::string name = LogFileName(exe, now.year, now.month);
  int fd = -1;
  if (InSystemProgramFolder(exe)) {
    fd = OpenStateLogFile(name);
  } else {
    fd = OpenLogFile(name);
    if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS) &&
        name.find('/') != std::string::npos)
      fd = OpenStateLogFile(name);
  }
  if (fd < 0) return;
  const std::string line = BuildLine(TimeStamp(now), message, tail);
  WriteDebug(line);
  WriteAll(fd, line);
  close(fd);
}

std::string SystemTextOrEmpty(int code) {
  std::string text;
  if (!SystemText(code, text)) text.clear();
  return text;
}

void ErrorBoxText(QWidget* parent, const std::string& message) {
  const std::string text = SystemTextOrEmpty(GetLastError()) + "\n\n" + message +
                           "\n\nClick Ok to continue.";
  ShowMessageBox(parent, "Internal Error", text.c_str(), BoxKind::Critical);
}
}  // namespace

std::string LogStateFolder(const char* xdg_state_home, const char* home) {
  // Relative values are ignored, as the XDG base directory rules ask.
  if (xdg_state_home && xdg_state_home[0] == '/') return std::string(xdg_state_home) + "/orvane";
  if (home && home[0] == '/') return std::string(home) + "/.local/state/orvane";
  return std::string();
}

bool InSystemProgramFolder(const std::string& exe_path) {
  static const char* const kFolders[] = {"/usr/", "/bin/", "/sbin/"};
  for (const char* folder : kFolders)
    if (exe_path.compare(0, std::strlen(folder), folder) == 0) return true;
  return false;
}

std::string LogFileName(const std::string& exe_path, int year, int month) {
  // Only a dot in the file name itself starts an extension; a dot in a folder name does not,
  // an extensionless program keeps its whole path, and a leading dot (".name") is no extension.
  const std::size_t slash = exe_path.rfind('/');
  const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
  const std::size_t dot = exe_path.rfind('.');
  std::string name = exe_path;
  if (dot != std::string::npos && dot > start) name.resize(dot);
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, "-%.4d%.2d.log", year, month);
  return name + suffix;
}

void Trace(const char*, ...) {}

void DebugTrace(const char* format, ...) {
  LastErrorKeeper keep;
  va_list args;
  va_start(args, format);
  const std::string message = FormatMessage(format, args);
  va_end(args);
  WriteDebug(message);
}

void LogLine(const char* format, ...) {
  LastErrorKeeper keep;
  va_list args;
  va_start(args, format);
  const std::string message = FormatMessage(format, args);
  va_end(args);
  AppendLogLine(message, "");
}

void LogError(const char* format, ...) {
  LastErrorKeeper keep;
  va_list args;
  va_start(args, format);
  const std::string message = FormatMessage(format, args);
  va_end(args);
  AppendLogLine(message, " ERROR: " + SystemTextOrEmpty(keep.saved()) + "\n");
}

void ReportError(const char* format, ...) {
  LastErrorKeeper keep;
  const int code = keep.saved();
  va_list args;
  va_start(args, format);
  const std::string message = FormatMessage(format, args);
  va_end(args);
  std::string line;
  std::string text;
  if (code == 0) {
    line = BuildLine("-- ERROR: ", message, "\n");
  } else if (!SystemText(code, text)) {
    line = BuildLine("-- ERROR: ", message, ": " + std::to_string(code) + "\n");
  } else {
    line = BuildLine("** ERROR: ", message, " - " + text + "\n");
  }
  WriteDebug(line);
}

void ErrorBox(QWidget* parent, const char* format, ...) {
  LastErrorKeeper keep;
  va_list args;
  va_start(args, format);
  const std::string message = FormatMessage(format, args);
  va_end(args);
  ErrorBoxText(parent, message);
}

void FatalError(const char* message, const char* source, int line) {
  // The hook writes out what must not be lost (the installer's uninstall log) before the
  // user is asked anything.
  if (FatalErrorHook hook = g_fatal_error_hook.load()) hook();
  ErrorBox(nullptr, "%s\n\n%s:%d", message ? message : "", source ? source : "", line);
  _exit(1);
}

void ReportCheckFailure(const char* condition, const char* source, int line) {
  LastErrorKeeper keep;
  LogError("ASSERT(%s) failed", condition ? condition : "");
  LogLine("  in module [%s:%d].\n", source ? source : "", line);
}

void ConditionBox(const char* condition, const char* source, int line) {
  ErrorBox(nullptr, "The (%s) condition failed at\n%s:%d", condition ? condition : "",
           source ? source : "", line);
}

void SetFatalErrorHook(FatalErrorHook hook) { g_fatal_error_hook.store(hook); }

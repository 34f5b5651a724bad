// The log module: file names, line formats, the check report, kept last errors, bounded
// messages and concurrent writers.
#include "Common/Log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <functional>
#include <set>
#include <thread>

#include "platform/LastError.h"
#include "tests/common/CommonTestUtil.h"

using namespace commontest;

namespace {
const char kStamp[] = "[2003/12/12-15:12:49] ";

std::string TextOf(int code) {
  std::string text;
  EXPECT_TRUE(SystemText(code, text)) << code;
  return text;
}
}  // namespace

TEST(LogFileName, FileNameExtensionOnly) {
  struct Case {
    const char* exe;
    int year, month;
    const char* expected;
  } cases[] = {
      {"/opt/Orvane VARNO/varno", 2003, 12, "/opt/Orvane VARNO/varno-200312.log"},
      {"/apps/varno.exe", 2004, 1, "/apps/varno-200401.log"},
      {"/tools.old/prog", 2003, 12, "/tools.old/prog-200312.log"},
      {"/a.b/c.d.e", 2003, 12, "/a.b/c.d-200312.log"},
      {"/opt/bin/.hidden", 2003, 12, "/opt/bin/.hidden-200312.log"},
      {"/opt/bin/name.", 2003, 12, "/opt/bin/name-200312.log"},
      {"varno", 987, 3, "varno-098703.log"},
      {"/x/y", 12345, 7, "/x/y-1234507.log"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LogFileName(c.exe, c.year, c.month), c.expected) << c.exe;
  }
}

TEST(LogLine, WritesStampedLinesBesideTheExecutable) {
  LogPlace place;
  StderrCapture err;
  const mode_t old_mask = umask(022);
  LogLine("Starting %s on port %d\n", "varno", 10510);
  umask(old_mask);
  // A message without a line end still makes a line of its own; one "\n" is not doubled.
  LogLine("no line end");
  LogLine(" continued\n");
  LogLine("%s", "");
  LogLine("two ends\n\n");
  err.Restore();
  const std::string expected = std::string(kStamp) + "Starting varno on port 10510\n" + kStamp +
                               "no line end\n" + kStamp + " continued\n" + kStamp + "\n" +
                               kStamp + "two ends\n\n";
  EXPECT_EQ(place.Log(), expected);
  // The debug stream gets the same lines; the file has LF only.
  EXPECT_EQ(err.text(), expected);
  EXPECT_EQ(place.Log().find('\r'), std::string::npos);
  struct stat st {};
  ASSERT_EQ(stat(place.LogPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST(LogLine, NewFileEachMonth) {
  LogPlace place;
  StderrCapture err;
  place.SetTime(Utc(2003, 12, 31, 23, 59, 59));
  LogLine("last of the year\n");
  place.SetTime(Utc(2004, 1, 1, 0, 0, 0));
  LogLine("first of the year\n");
  EXPECT_EQ(ReadFile(place.LogPath("varno-200312.log")), "[2003/12/31-23:59:59] last of the year\n");
  EXPECT_EQ(ReadFile(place.LogPath("varno-200401.log")), "[2004/01/01-00:00:00] first of the year\n");
}

TEST(LogLine, FolderWithDotAndExtensionlessName) {
  LogPlace place;
  ASSERT_EQ(mkdir((place.dir() / "Tools.old").c_str(), 0755), 0);
  SetExecutablePathForTest(place.dir() / "Tools.old/prog");
  StderrCapture err;
  LogLine("kept\n");
  EXPECT_EQ(ReadFile(place.dir() / "Tools.old/prog-200312.log"), std::string(kStamp) + "kept\n");
  EXPECT_FALSE(FileExists(place.dir() / "Tools-200312.log"));
}

TEST(LogLine, DeepFolderBeyond260Characters) {
  LogPlace place;
  std::string folder = place.dir().path();
  while (folder.size() < 300) {
    folder += "/" + std::string(60, 'd');
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0) << folder;
  }
  ASSERT_GT(folder.size() + 6, 260u);
  SetExecutablePathForTest(folder + "/varno");
  StderrCapture err;
  LogLine("deep\n");
  EXPECT_EQ(ReadFile(folder + "/varno-200312.log"), std::string(kStamp) + "deep\n");
}

TEST(LogLine, UnopenableFileLosesTheLineEverywhere) {
  LogPlace place;
  SetExecutablePathForTest(place.dir() / "missing-folder/varno");
  StderrCapture err;
  SetLastError(EADDRINUSE);
  LogLine("lost\n");
  LogError("lost too");
  ReportCheckFailure("p", "Common/Log", 1);
  err.Restore();
  EXPECT_EQ(err.text(), "");
  EXPECT_EQ(GetLastError(), EADDRINUSE);
  EXPECT_FALSE(FileExists(place.dir() / "missing-folder"));
}

TEST(ReportCheckFailure, TwoLinesWithSystemText) {
  LogPlace place;
  StderrCapture err;
  SetLastError(EADDRINUSE);
  ReportCheckFailure("res != SOCKET_ERROR", "Common/ClientSocket", 165);
  EXPECT_EQ(GetLastError(), EADDRINUSE);
  err.Restore();
  const std::string expected = std::string(kStamp) +
                               "ASSERT(res != SOCKET_ERROR) failed ERROR: Address already in use\n" +
                               kStamp + "  in module [Common/ClientSocket:165].\n";
  EXPECT_EQ(place.Log(), expected);
  EXPECT_EQ(err.text(), expected);
}

TEST(LogError, CodeZeroAndUnknownCodes) {
  LogPlace place;
  StderrCapture err;
  struct Case {
    int code;
    std::string text;
  } cases[] = {
      {0, "Success"},
      {ENOENT, "No such file or directory"},
      {ResolverError(-2), TextOf(ResolverError(-2))},  // EAI_NONAME
      {SqliteError(5), "database is locked"},          // SQLITE_BUSY
      {12345, ""},                                     // no text: the empty text
  };
  std::string expected;
  for (const Case& c : cases) {
    SetLastError(c.code);
    LogError("op %d", c.code);
    EXPECT_EQ(GetLastError(), c.code);
    expected += std::string(kStamp) + "op " + std::to_string(c.code) + " ERROR: " + c.text + "\n";
  }
  EXPECT_EQ(place.Log(), expected);
}

TEST(ReportError, DebugStreamFormsOnly) {
  LogPlace place;
  struct Case {
    int code;
    std::string expected;
  } cases[] = {
      {0, "-- ERROR: recv\n"},
      {EBADF, "** ERROR: recv - Bad file descriptor\n"},
      {12345, "-- ERROR: recv: 12345\n"},
  };
  for (const Case& c : cases) {
    StderrCapture err;
    SetLastError(c.code);
    ReportError("%s", "recv");
    EXPECT_EQ(GetLastError(), c.code);
    err.Restore();
    EXPECT_EQ(err.text(), c.expected);
  }
  EXPECT_FALSE(FileExists(place.LogPath()));
}

TEST(LogModule, EveryReportKeepsTheLastError) {
  LogPlace place;
  StderrCapture err;  // ErrorBox without an application writes here
  const std::pair<const char*, std::function<void()>> operations[] = {
      {"Trace", [] { Trace("Creating directory >%s<\n", "/tmp/x"); }},
      {"DebugTrace", [] { DebugTrace("debug %d\n", 1); }},
      {"LogLine", [] { LogLine("line\n"); }},
      {"LogError", [] { LogError("error"); }},
      {"ReportError", [] { ReportError("RegOpenKeyEx(%s)", "SOFTWARE\\Orvane"); }},
      {"ErrorBox", [] { ErrorBox(nullptr, "box %d", 2); }},
      {"ConditionBox", [] { ConditionBox("sock != -1", "glimt/glimt", 12); }},
      {"ReportCheckFailure", [] { ReportCheckFailure("b", "setup/Install", 7); }},
  };
  for (int code : {0, EADDRINUSE, ResolverError(-3), SqliteError(14), 12345}) {
    for (const auto& [name, op] : operations) {
      SetLastError(code);
      op();
      EXPECT_EQ(GetLastError(), code) << name << " with " << code;
    }
  }
}

TEST(ErrorBox, WithoutDisplayWritesCaptionAndTextToStderr) {
  LogPlace place;
  StderrCapture err;
  SetLastError(ECONNREFUSED);
  ConditionBox("client != SOCKET_ERROR", "glimt/glimt", 310);
  SetLastError(0);
  ErrorBox(nullptr, "%s", "plain");
  err.Restore();
  EXPECT_EQ(err.text(),
            "Internal Error: Connection refused\n\nThe (client != SOCKET_ERROR) condition failed "
            "at\nglimt/glimt:310\n\nClick Ok to continue.\n"
            "Internal Error: Success\n\nplain\n\nClick Ok to continue.\n");
  EXPECT_FALSE(FileExists(place.LogPath()));
}

namespace {
void WriteHookMarker() { DebugTrace("hook ran\n"); }
}  // namespace

TEST(FatalErrorDeathTest, HookThenBoxThenExitCodeOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        SetFatalErrorHook(WriteHookMarker);
        SetLastError(EACCES);
        FatalError("Cannot replace the file", "setup/Install", 42);
      },
      testing::ExitedWithCode(1),
      "hook ran\nInternal Error: Permission denied\n\nCannot replace the file\n\n"
      "setup/Install:42\n\nClick Ok to continue.");
}

TEST(LogLine, LongMessagesAreCutKeepingTheLineParts) {
  LogPlace place;
  StderrCapture err;
  const std::string big(10000, 'x');
  LogLine("%s", big.c_str());
  SetLastError(ENOENT);
  LogError("%s", big.c_str());
  ReportCheckFailure(big.c_str(), "Common/Log", 9);
  DebugTrace("%s", big.c_str());
  SetLastError(ENOENT);
  ReportError("%s", big.c_str());
  err.Restore();

  const std::vector<std::string> lines = Lines(place.Log());
  ASSERT_EQ(lines.size(), 4u);
  for (const std::string& line : lines) {
    EXPECT_LE(line.size(), 8191u);
    EXPECT_EQ(line.back(), '\n');
    EXPECT_EQ(line.rfind(kStamp, 0), 0u);
  }
  EXPECT_EQ(lines[0].size(), 8191u);
  const std::string tail = " ERROR: No such file or directory\n";
  EXPECT_EQ(lines[1].size(), 8191u);
  EXPECT_EQ(lines[1].substr(lines[1].size() - tail.size()), tail);
  EXPECT_EQ(lines[2].substr(lines[2].size() - tail.size()), tail);
  EXPECT_EQ(lines[2].rfind(std::string(kStamp) + "ASSERT(xxx", 0), 0u);
  EXPECT_EQ(lines[3], std::string(kStamp) + "  in module [Common/Log:9].\n");
  // The debug stream holds the four file lines, the DebugTrace text and the ReportError line,
  // each bounded.
  const std::string debug = err.text();
  const std::string report_tail = " - No such file or directory\n";
  EXPECT_EQ(debug.substr(debug.size() - report_tail.size()), report_tail);
  EXPECT_LE(debug.size(), 6u * 8191u);
}

namespace {
// Lines "<stamp>W<writer>-<n>-" followed by padding; checks that each arrived whole and once.
void ExpectWholeLines(const std::string& log, int writers, int per_writer, std::size_t pad) {
  const std::vector<std::string> lines = Lines(log);
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(writers * per_writer));
  std::set<std::pair<int, int>> seen;
  for (const std::string& line : lines) {
    int writer = -1, n = -1, used = 0;
    ASSERT_EQ(line.rfind(kStamp, 0), 0u) << line.substr(0, 80);
    const std::string rest = line.substr(sizeof kStamp - 1);
    ASSERT_EQ(std::sscanf(rest.c_str(), "W%d-%d-%n", &writer, &n, &used), 2) << rest.substr(0, 80);
    EXPECT_EQ(rest.substr(static_cast<std::size_t>(used)), std::string(pad, 'y') + "\n")
        << "writer " << writer << " line " << n;
    EXPECT_TRUE(seen.insert({writer, n}).second);
  }
}
constexpr std::size_t kPad = 4000;
}  // namespace

TEST(LogLine, ConcurrentThreadsNeverInterleave) {
  LogPlace place;
  StderrCapture err;
  constexpr int kWriters = 6, kLines = 150;
  const std::string pad(kPad, 'y');
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([w, &pad] {
      for (int n = 0; n < kLines; ++n) LogLine("W%d-%d-%s\n", w, n, pad.c_str());
    });
  }
  for (auto& t : threads) t.join();
  ExpectWholeLines(place.Log(), kWriters, kLines, kPad);
}

TEST(LogLine, ConcurrentProcessesNeverInterleave) {
  LogPlace place;
  StderrCapture err;
  constexpr int kWriters = 4, kLines = 150;
  const std::string pad(kPad, 'y');
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (int n = 0; n < kLines; ++n) LogLine("W%d-%d-%s\n", w, n, pad.c_str());
      _exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  ExpectWholeLines(place.Log(), kWriters, kLines, kPad);
}

namespace {
static const char kModule[] = "tests/common/LogTest";
}  // namespace

TEST(ReportCheckFailure, VerifyNamesConditionModuleAndLine) {
  LogPlace place;
  StderrCapture err;
  const int zero = 0;
  SetLastError(ENOENT);
  EXPECT_TRUE(VERIFY(zero == 0));
  const int line = __LINE__ + 1;
  EXPECT_FALSE(VERIFY(zero != 0));
  EXPECT_EQ(GetLastError(), ENOENT);
  EXPECT_EQ(place.Log(), std::string(kStamp) +
                             "ASSERT(zero != 0) failed ERROR: No such file or directory\n" +
                             kStamp + "  in module [tests/common/LogTest:" +
                             std::to_string(line) + "].\n");
}

namespace {
// Runs body in a child process and returns its exit code (the child's environment and user
// changes stay there).
int InChild(const std::function<int()>& body) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}
constexpr uid_t kNobody = 65534;

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}
}  // namespace

TEST(LogLine, NeverWritesThroughALinkOrIntoANonFile) {
  struct Case {
    const char* what;
    std::function<void(const std::string& log, const std::string& victim)> plant;
  } cases[] = {
      {"symbolic link", [](const std::string& log, const std::string& victim) {
         ASSERT_EQ(symlink(victim.c_str(), log.c_str()), 0);
       }},
      {"hard link", [](const std::string& log, const std::string& victim) {
         ASSERT_EQ(link(victim.c_str(), log.c_str()), 0);
       }},
      {"named pipe", [](const std::string& log, const std::string&) {
         ASSERT_EQ(mkfifo(log.c_str(), 0644), 0);
       }},
  };
  for (const Case& c : cases) {
    LogPlace place;
    testsupport::TempDir state;
    setenv("XDG_STATE_HOME", state.path().c_str(), 1);
    WriteFile(place.dir() / "victim", "keep\n");
    c.plant(place.LogPath(), place.dir() / "victim");
    // A reader on the pipe, so that an open for writing does not wait for one.
    struct stat st {};
    const bool pipe = lstat(place.LogPath().c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
    const int reader = pipe ? open(place.LogPath().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
    StderrCapture err;
    LogLine("redirected\n");
    err.Restore();
    char buffer[64];
    EXPECT_LE(reader < 0 ? 0 : read(reader, buffer, sizeof buffer), 0) << c.what;
    if (reader >= 0) close(reader);
    EXPECT_EQ(ReadFile(place.dir() / "victim"), "keep\n") << c.what;
    EXPECT_EQ(err.text(), "") << c.what << ": the line is lost everywhere alike";
    EXPECT_FALSE(FileExists(state / "orvane")) << c.what << ": no folder is moved to";
    unsetenv("XDG_STATE_HOME");
  }
}

// Writable program folder: the log stays beside the program. Not writable (a system-wide
// installation): the state folder of the user, under the same monthly name.
TEST(LogLine, UnwritableProgramFolderLogsToTheStateFolder) {
  testsupport::TempDir root;
  ASSERT_EQ(chmod(root.path().c_str(), 0755), 0);
  const std::string program = root / "bin";
  ASSERT_EQ(mkdir(program.c_str(), 0755), 0);
  struct Case {
    const char* what;
    bool writable;
    const char* xdg;   // XDG_STATE_HOME below root, "" unset, "rel" relative
    std::string expected;  // below root
  } cases[] = {
      {"writable, state folder set", true, "xdg", "bin/varno-200312.log"},
      {"read-only, XDG_STATE_HOME", false, "xdg", "xdg/orvane/varno-200312.log"},
      {"read-only, relative XDG_STATE_HOME", false, "rel", "home/.local/state/orvane/varno-200312.log"},
      {"read-only, no XDG_STATE_HOME", false, "", "home/.local/state/orvane/varno-200312.log"},
  };
  for (const Case& c : cases) {
    for (const char* d : {"xdg", "home"}) {
      testsupport::Run("rm -rf '" + root / d + "'");
      ASSERT_EQ(mkdir((root / d).c_str(), 0755), 0);
      ASSERT_EQ(chown((root / d).c_str(), kNobody, kNobody), 0);
    }
    unlink((program + "/varno-200312.log").c_str());
    LogPlace place;
    SetExecutablePathForTest(program + "/varno");
    const int rc = InChild([&] {
      setenv("HOME", (root / "home").c_str(), 1);
      if (std::string(c.xdg) == "rel") {
        setenv("XDG_STATE_HOME", "xdg", 1);
      } else if (*c.xdg) {
        setenv("XDG_STATE_HOME", (root / c.xdg).c_str(), 1);
      } else {
        unsetenv("XDG_STATE_HOME");
      }
      // Root writes everywhere: the unwritable case runs as nobody instead.
      if (!c.writable && geteuid() == 0) {
        if (setgid(kNobody) != 0 || setuid(kNobody) != 0) return 2;
      } else if (!c.writable && chmod(program.c_str(), 0555) != 0) {
        return 3;
      }
      StderrCapture err;
      LogLine("moved\n");
      return 0;
    });
    chmod(program.c_str(), 0755);
    ASSERT_EQ(rc, 0) << c.what;
    EXPECT_EQ(ReadFile(root / c.expected), std::string(kStamp) + "moved\n") << c.what;
    EXPECT_EQ(FileExists(program + "/varno-200312.log"), c.writable) << c.what;
  }
}

TEST(LogStateFolder, SystemProgramFoldersLogIntoTheStateFolder) {
  struct Case {
    const char* exe;
    bool system;
  } cases[] = {
      {"/usr/bin/varno", true},         {"/usr/local/bin/glimt", true},
      {"/bin/varno", true},             {"/sbin/varno", true},
      {"/usrx/bin/varno", false},       {"/opt/Orvane VARNO/varno", false},
      {"/home/u/.local/opt/Orvane VARNO/varno", false},
      {"/usr", false},                  {"varno", false},
  };
  for (const Case& c : cases) EXPECT_EQ(InSystemProgramFolder(c.exe), c.system) << c.exe;
}

TEST(LogStateFolder, FromTheEnvironment) {
  struct Case {
    const char* xdg;
    const char* home;
    const char* expected;
  } cases[] = {
      {"/var/state", "/home/u", "/var/state/orvane"},
      {"relative", "/home/u", "/home/u/.local/state/orvane"},
      {"", "/home/u", "/home/u/.local/state/orvane"},
      {nullptr, "/home/u", "/home/u/.local/state/orvane"},
      {nullptr, "", ""},
      {nullptr, "relative", ""},
      {nullptr, nullptr, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LogStateFolder(c.xdg, c.home), c.expected)
        << (c.xdg ? c.xdg : "(unset)") << " " << (c.home ? c.home : "(unset)");
  }
}

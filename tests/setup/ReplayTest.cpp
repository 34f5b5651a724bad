// What the uninstaller does with each record, and the guards against a damaged log.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "Common/Registry.h"
#include "platform/Service.h"
#include "setup/RemoveApp.h"
#include "setup/SetupState.h"
#include "tests/setup/SetupTestUtil.h"
#include "tests/support/TestSupport.h"

using testsupport::TempDir;

namespace {
class FakeServices : public ServiceManager {
 public:
  bool exists = true;
  bool stop_accepted = true;
  std::vector<std::string> states;  // answers of QueryState, in turn; then "inactive"
  std::vector<std::string> calls;
  bool Exists(const std::string& name) override {
    calls.push_back("exists " + name);
    return exists;
  }
  bool Stop(const std::string& name) override {
    calls.push_back("stop " + name);
    return stop_accepted;
  }
  bool QueryState(const std::string& name, std::string* state) override {
    calls.push_back("query " + name);
    *state = states.empty() ? "inactive" : states.front();
    if (!states.empty()) states.erase(states.begin());
    return true;
  }
  bool Delete(const std::string& name) override {
    calls.push_back("delete " + name);
    return true;
  }
};

struct Replay {
  FakeServices services;
  std::vector<int> sleeps;
  void operator()(char type, const std::string& first, const std::string& second = "") {
    ActOnRecord(type, first, second, services, [this](int ms) { sleeps.push_back(ms); });
  }
};
}  // namespace

TEST(Replay, PathAndKeyGuards) {
  struct PathCase {
    const char* path;
    bool ok;
  } paths[] = {{"/opt/x", true}, {"/", false}, {"", false}, {"relative/x", false}, {"x", false}};
  for (const PathCase& c : paths) EXPECT_EQ(IsReplayablePath(c.path), c.ok) << c.path;

  struct KeyCase {
    const char* key;
    bool ok;
  } keys[] = {
      {"SOFTWARE\\Orvane\\VARNO", true},
      {"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvane VARNO", true},
      {"SOFTWARE\\Microsoft", false},
      {"SOFTWARE", false},
      {"", false},
      {"SOFTWARE\\\\VARNO", false},
      {"\\SOFTWARE\\Orvane\\VARNO", false},
      {"SOFTWARE\\Orvane\\", false},
  };
  for (const KeyCase& c : keys) EXPECT_EQ(IsReplayableKey(c.key), c.ok) << c.key;
}

TEST(Replay, FilesAndFoldersWithoutFollowingLinks) {
  TempDir dir;
  Replay replay;
  WriteFile(dir / "plain", "x");
  WriteFile(dir / "target", "keep");
  symlink((dir / "target").c_str(), (dir / "link").c_str());
  mkdir((dir / "full").c_str(), 0755);
  WriteFile(dir / "full/inside", "");
  mkdir((dir / "empty").c_str(), 0755);
  mkdir((dir / "realdir").c_str(), 0755);
  symlink((dir / "realdir").c_str(), (dir / "dirlink").c_str());

  replay('F', dir / "plain");
  replay('F', dir / "link");
  replay('D', dir / "full");
  replay('D', dir / "empty");
  replay('D', dir / "dirlink");
  replay('F', dir / "missing");  // failures are ignored
  replay('X', dir / "target");   // unknown types are skipped

  EXPECT_FALSE(Exists(dir / "plain"));
  EXPECT_FALSE(Exists(dir / "link"));
  EXPECT_EQ(ReadFile(dir / "target"), "keep");
  EXPECT_TRUE(Exists(dir / "full/inside"));
  EXPECT_FALSE(Exists(dir / "empty"));
  EXPECT_TRUE(Exists(dir / "dirlink"));
  EXPECT_TRUE(Exists(dir / "realdir"));
}

TEST(Replay, RelativeAndEmptyPathsAreRefused) {
  TempDir dir;
  Replay replay;
  WriteFile(dir / "rel", "");
  mkdir((dir / "reldir").c_str(), 0755);
  char old[4096];
  ASSERT_TRUE(getcwd(old, sizeof old));
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  replay('F', "rel");
  replay('D', "reldir");
  replay('F', "");
  replay('S', "rel", "");
  ASSERT_EQ(chdir(old), 0);
  EXPECT_TRUE(Exists(dir / "rel"));
  EXPECT_TRUE(Exists(dir / "reldir"));
}

TEST(Replay, KeysAreDeletedOnlyWithThreeComponents) {
  TempDir reg;
  setenv("ORVANE_REGISTRY", reg.path().c_str(), 1);
  RegistryKey key;
  ASSERT_TRUE(key.Create("SOFTWARE\\Orvane\\VARNO\\Parameters\\Deep"));
  key.Close();
  ASSERT_TRUE(key.Create("SOFTWARE\\Microsoft\\Windows\\CurrentVersion"));
  key.Close();
  Replay replay;
  replay('R', "SOFTWARE\\Microsoft");
  replay('R', "SOFTWARE");
  replay('R', "SOFTWARE\\Orvane\\VARNO");
  EXPECT_TRUE(key.Open("SOFTWARE\\Microsoft\\Windows\\CurrentVersion"));
  key.Close();
  EXPECT_FALSE(key.Open("SOFTWARE\\Orvane\\VARNO"));
  EXPECT_TRUE(key.Open("SOFTWARE\\Orvane"));
  key.Close();
  unsetenv("ORVANE_REGISTRY");
}

TEST(Replay, ServiceIsStoppedWaitedForAndDeletedThenItsFileRemoved) {
  TempDir dir;
  WriteFile(dir / "daemon", "", 0755);
  Replay replay;
  replay.services.states = {"deactivating", "deactivating", "inactive"};
  replay('S', dir / "daemon", "orvane.service");
  EXPECT_EQ(replay.services.calls,
            (std::vector<std::string>{"exists orvane.service", "stop orvane.service",
                                      "query orvane.service", "query orvane.service",
                                      "query orvane.service", "delete orvane.service"}));
  EXPECT_EQ(replay.sleeps, (std::vector<int>{1000, 1000}));
  EXPECT_FALSE(Exists(dir / "daemon"));
}

TEST(Replay, ServiceCasesWithoutAStop) {
  TempDir dir;
  {
    // No such service: only the file is deleted.
    WriteFile(dir / "daemon", "");
    Replay replay;
    replay.services.exists = false;
    replay('S', dir / "daemon", "absent.service");
    EXPECT_EQ(replay.services.calls, (std::vector<std::string>{"exists absent.service"}));
    EXPECT_FALSE(Exists(dir / "daemon"));
    EXPECT_TRUE(replay.sleeps.empty());
  }
  {
    // The stop is refused: no waiting, the service is still deleted.
    Replay replay;
    replay.services.stop_accepted = false;
    replay('S', dir / "gone", "x.service");
    EXPECT_EQ(replay.services.calls.back(), "delete x.service");
    EXPECT_EQ(std::count(replay.services.calls.begin(), replay.services.calls.end(),
                         "query x.service"), 0);
  }
}

TEST(Replay, UndeletableServiceFileIsTriedTenTimes) {
  TempDir dir;
  // A folder under the file's name can never be unlinked.
  mkdir((dir / "stuck").c_str(), 0755);
  Replay replay;
  replay.services.exists = false;
  replay('S', dir / "stuck", "x.service");
  EXPECT_EQ(replay.sleeps, std::vector<int>(9, 1000));
  EXPECT_TRUE(Exists(dir / "stuck"));
}

TEST(Replay, ServiceNamesThatCouldBeOptionsAreRejected) {
  struct Case {
    const char* name;
    bool ok;
  } cases[] = {{"orvane.service", true}, {"a@b.service", true}, {"-h", false},
               {"", false}, {"a b", false}, {"a/b", false}, {"*", false}, {".x", false}};
  for (const Case& c : cases) EXPECT_EQ(IsValidServiceName(c.name), c.ok) << c.name;
}

TEST(Replay, SystemdServicesThroughSystemctl) {
  // A stand-in systemctl on PATH records its arguments and plays a unit that needs one poll.
  TempDir dir;
  const std::string script =
      "#!/bin/sh\n"
      "echo \"$*\" >> '" + dir / "calls" + "'\n"
      "case \"$*\" in\n"
      "  *LoadState*) echo loaded ;;\n"
      "  *FragmentPath*) echo /usr/lib/systemd/system/orvane.service ;;\n"
      "  *is-active*) if [ -e '" + dir / "polled" + "' ]; then echo inactive; else\n"
      "     touch '" + dir / "polled" + "'; echo deactivating; fi; exit 3 ;;\n"
      "esac\nexit 0\n";
  WriteFile(dir / "systemctl", script, 0755);
  const std::string old_path = getenv("PATH") ? getenv("PATH") : "";
  setenv("PATH", (dir.path() + ":" + old_path).c_str(), 1);
  Replay replay;
  std::vector<int> sleeps;
  ServiceManager& systemd = SystemServices();
  ActOnRecord('S', dir / "absent-program", "orvane.service", systemd,
              [&](int ms) { sleeps.push_back(ms); });
  setenv("PATH", old_path.c_str(), 1);

  std::string calls = ReadFile(dir / "calls");
  const std::string user = geteuid() == 0 ? "" : "--user ";
  EXPECT_EQ(calls, user + "show -p LoadState --value -- orvane.service\n" +
                   user + "stop --no-block -- orvane.service\n" +
                   user + "is-active -- orvane.service\n" +
                   user + "is-active -- orvane.service\n" +
                   user + "show -p FragmentPath --value -- orvane.service\n" +
                   user + "disable -- orvane.service\n");
  EXPECT_EQ(sleeps, std::vector<int>{1000});
}

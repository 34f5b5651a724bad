// What the uninstaller does with each record, and the guards against a damaged log.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include "Common/Log.h"
#include "Common/Registry.h"
#include "platform/Clock.h"
#include "platform/ExePath.h"
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
  explicit Replay(std::vector<std::string> folders = {"/"}) { scope.folders = std::move(folders); }
  ReplayScope scope;
  FakeServices services;
  std::vector<int> sleeps;
  void operator()(char type, const std::string& first, const std::string& second = "") {
    ActOnRecord(type, first, second, scope, services, [this](int ms) { sleeps.push_back(ms); });
  }
};

// An installation under a temporary root reached through a link of its own ("alias"), so
// that a link can be planted at every level of the installed paths:
//   <root>/alias -> real;  real/opt/Orvane VARNO (I, holds the log);  real/menu/Orvane VARNO (G)
// and, outside the installation, real/elsewhere with keep.txt and an empty folder.
struct Installed {
  const std::string program = ExecutablePath();
  TempDir root;
  std::string real = root / "real";
  std::string I = real + "/opt/Orvane VARNO";
  std::string G = real + "/menu/Orvane VARNO";
  std::string elsewhere = real + "/elsewhere";
  Installed() {
    for (const std::string& d : {real, real + "/opt", I, real + "/menu", G, elsewhere,
                                 elsewhere + "/empty"})
      mkdir(d.c_str(), 0755);
    WriteFile(I + "/glimt", "viewer");
    WriteFile(G + "/GLIMT (client).desktop", "entry");
    WriteFile(elsewhere + "/keep.txt", "keep");
    symlink(real.c_str(), (root / "alias").c_str());
    SetExecutablePathForTest(I + "/Uninstall");
  }
  ~Installed() { SetExecutablePathForTest(program); }
  // The log of the uninstaller, which lives in I.
  std::string Log() const {
    const LocalTime now = LocalNow();
    return ReadFile(LogFileName(I + "/Uninstall", now.year, now.month));
  }
  Replay Replayer() const { return Replay({I, G}); }
};
}  // namespace

TEST(Replay, KeyGuards) {
  struct KeyCase {
    const char* key;
    bool ok;
  } keys[] = {
      {"SOFTWARE\\Orvane\\VARNO", true},
      {"SOFTWARE\\Orvane\\VARNO\\Parameters", true},
      {"software\\orvane\\varno", true},  // key names are case-insensitive
      {"SOFTWARE\\Orvane\\Other", true},
      {"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvane VARNO", true},
      {"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\orvane varno", true},
      {"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvane VARNO\\Sub", true},
      {"SOFTWARE\\Orvane", false},
      {"SOFTWARE\\Orvane\\", false},
      {"SOFTWARE\\OrvaneX\\VARNO", false},
      {"SOFTWARE\\Microsoft\\Windows", false},
      {"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", false},
      {"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall", false},
      {"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvane VARNO2", false},
      {"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Other", false},
      {"SOFTWARE\\Microsoft", false},
      {"SOFTWARE", false},
      {"", false},
      {"SOFTWARE\\\\VARNO", false},
      {"SOFTWARE\\Orvane\\\\VARNO", false},
      {"\\SOFTWARE\\Orvane\\VARNO", false},
      {"SOFTWARE\\Orvane\\VARNO\\", false},
  };
  for (const KeyCase& c : keys) EXPECT_EQ(IsReplayableKey(c.key), c.ok) << c.key;
}

TEST(Replay, PathsActOnlyInsideTheInstallationsFolders) {
  const ReplayScope scope{{"/opt/Orvane VARNO", "/usr/share/applications/Orvane VARNO"}};
  struct PathCase {
    const char* path;
    bool ok;
  } paths[] = {
      {"/opt/Orvane VARNO/glimt", true},
      {"/opt/Orvane VARNO", true},
      {"/opt/Orvane VARNO/sub/file", true},
      {"/usr/share/applications/Orvane VARNO/GLIMT (client).desktop", true},
      {"/usr/share/applications/Orvane VARNO", true},
      {"/opt/Orvane VARNO2/glimt", false},
      {"/opt/Orvane", false},
      {"/opt", false},
      {"/", false},
      {"", false},
      {"opt/Orvane VARNO/glimt", false},
      {"/etc/passwd", false},
      {"/usr/share/applications/other.desktop", false},
      {"/opt/Orvane VARNO/../../etc/passwd", false},
      {"/opt/Orvane VARNO/./glimt", false},
      {"/opt/Orvane VARNO//glimt", false},
      {"/opt/Orvane VARNO/glimt/", false},
      {"/opt/Orvane VARNO/..", false},
      {"//opt/Orvane VARNO/glimt", false},
  };
  for (const PathCase& c : paths) EXPECT_EQ(IsReplayablePath(c.path, scope), c.ok) << c.path;
  EXPECT_FALSE(IsReplayablePath("/opt/Orvane VARNO/glimt", ReplayScope{}));
}

TEST(Replay, FilesAndFoldersInsideTheInstallation) {
  Installed at;
  Replay replay = at.Replayer();
  WriteFile(at.I + "/target", "keep");
  symlink((at.I + "/target").c_str(), (at.I + "/link").c_str());
  mkdir((at.I + "/full").c_str(), 0755);
  WriteFile(at.I + "/full/inside", "");
  mkdir((at.I + "/empty").c_str(), 0755);

  replay('F', at.I + "/glimt");
  replay('F', at.I + "/link");       // a link named by a record is removed as a link
  replay('D', at.I + "/full");       // a folder that still holds files stays
  replay('D', at.I + "/empty");
  replay('F', at.I + "/missing");    // failures are ignored
  replay('X', at.I + "/target");     // unknown types are skipped
  replay('F', at.G + "/GLIMT (client).desktop");
  replay('D', at.G);

  EXPECT_FALSE(Exists(at.I + "/glimt"));
  EXPECT_FALSE(Exists(at.I + "/link"));
  EXPECT_EQ(ReadFile(at.I + "/target"), "keep");
  EXPECT_TRUE(Exists(at.I + "/full/inside"));
  EXPECT_FALSE(Exists(at.I + "/empty"));
  EXPECT_FALSE(Exists(at.G));
}

// A link at any level of a recorded path stops the record with a line in the log; nothing
// outside the installation is touched.
TEST(Replay, LinksAtEveryLevelOfThePathStopTheRecord) {
  struct Case {
    const char* level;
    // Plants the link (the installation's own folders are all below "real").
    std::function<void(const Installed&)> plant;
    // The record, as the installation wrote it, given the root and the installation.
    std::function<std::string(const Installed&)> path;
    char type;
    std::string link;  // the path of the planted link, relative to the root
  } cases[] = {
      {"above the installation",
       [](const Installed&) {},
       [](const Installed& at) { return at.root / "alias/opt/Orvane VARNO/glimt"; }, 'F',
       "alias"},
      {"the parent of the install folder",
       [](const Installed& at) {
         mkdir((at.elsewhere + "/Orvane VARNO").c_str(), 0755);
         WriteFile(at.elsewhere + "/Orvane VARNO/glimt", "keep");
         testsupport::Run("rm -rf '" + at.real + "/opt'");
         symlink(at.elsewhere.c_str(), (at.real + "/opt").c_str());
       },
       [](const Installed& at) { return at.I + "/glimt"; }, 'F', "real/opt"},
      {"the install folder",
       [](const Installed& at) {
         testsupport::Run("rm -rf '" + at.I + "'");
         symlink(at.elsewhere.c_str(), at.I.c_str());
       },
       [](const Installed& at) { return at.I + "/keep.txt"; }, 'F', "real/opt/Orvane VARNO"},
      {"the shortcut folder, removed as a folder",
       [](const Installed& at) {
         testsupport::Run("rm -rf '" + at.G + "'");
         symlink((at.elsewhere + "/empty").c_str(), at.G.c_str());
       },
       [](const Installed& at) { return at.G; }, 'D', "real/menu/Orvane VARNO"},
  };
  for (const Case& c : cases) {
    Installed at;
    c.plant(at);
    Replay replay({at.root / "alias/opt/Orvane VARNO", at.I, at.G});
    const std::string path = c.path(at);
    replay(c.type, path);
    EXPECT_EQ(ReadFile(at.elsewhere + "/keep.txt"), "keep") << c.level;
    EXPECT_TRUE(Exists(at.elsewhere + "/empty")) << c.level;
    if (Exists(at.elsewhere + "/Orvane VARNO")) {
      EXPECT_EQ(ReadFile(at.elsewhere + "/Orvane VARNO/glimt"), "keep") << c.level;
    }
    EXPECT_TRUE(IsLink(at.root / c.link)) << c.level;
    EXPECT_NE(at.Log().find(path + " not removed: " + (at.root / c.link) +
                            " is a symbolic link"), std::string::npos)
        << c.level << "\n" << at.Log();
  }
}

TEST(Replay, RecordsOutsideTheInstallationAreSkippedWithALogLine) {
  Installed at;
  Replay replay = at.Replayer();
  mkdir((at.I + "2").c_str(), 0755);
  WriteFile(at.I + "2/glimt", "neighbour");
  const std::string records[] = {
      at.elsewhere + "/keep.txt",
      at.I + "/../../elsewhere/keep.txt",
      at.I + "2/glimt",
      at.I + "/./glimt",
      at.I + "//glimt",
      "relative/glimt",
  };
  for (const std::string& r : records) replay('F', r);
  replay('D', at.elsewhere + "/empty");
  replay('S', at.elsewhere + "/keep.txt", "orvane.service");
  EXPECT_EQ(ReadFile(at.elsewhere + "/keep.txt"), "keep");
  EXPECT_TRUE(Exists(at.elsewhere + "/empty"));
  EXPECT_EQ(ReadFile(at.I + "2/glimt"), "neighbour");
  EXPECT_TRUE(Exists(at.I + "/glimt"));
  EXPECT_EQ(replay.services.calls.back(), "delete orvane.service")
      << "the service itself is still stopped and deleted";
  const std::string log = at.Log();
  for (const std::string& r : records) {
    EXPECT_NE(log.find("Uninstall: " + r + " lies outside the installation's folders; record "
                       "skipped"), std::string::npos) << r << "\n" << log;
  }
}

TEST(Replay, KeysOutsideTheProductsOwnAreKept) {
  TempDir reg;
  Installed at;
  setenv("ORVANE_REGISTRY", reg.path().c_str(), 1);
  RegistryKey key;
  ASSERT_TRUE(key.Create("SOFTWARE\\Orvane\\VARNO\\Parameters\\Deep"));
  key.Close();
  ASSERT_TRUE(key.Create("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvane VARNO"));
  key.Close();
  Replay replay = at.Replayer();
  replay('R', "SOFTWARE\\Microsoft\\Windows\\CurrentVersion");
  replay('R', "SOFTWARE\\Microsoft\\Windows");
  replay('R', "SOFTWARE\\Microsoft");
  replay('R', "SOFTWARE\\Orvane\\VARNO");
  replay('R', "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvane VARNO");
  EXPECT_TRUE(key.Open(kCurrentVersionKey)) << "the platform's seeded key stays";
  key.Close();
  EXPECT_TRUE(key.Open("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall"));
  key.Close();
  EXPECT_FALSE(key.Open("SOFTWARE\\Orvane\\VARNO"));
  EXPECT_FALSE(key.Open("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvane VARNO"));
  EXPECT_TRUE(key.Open("SOFTWARE\\Orvane"));
  key.Close();
  EXPECT_NE(at.Log().find("Uninstall: the registry key SOFTWARE\\Microsoft\\Windows is not the "
                          "product's own; record skipped"), std::string::npos) << at.Log();
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
  ActOnRecord('S', dir / "absent-program", "orvane.service", ReplayScope{{dir.path()}}, systemd,
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

// The hive files themselves: the key tree, value names, seeds, damaged files, locking.
#include <fcntl.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "tests/registry/RegistryTestUtil.h"

namespace {

std::string ReadText(const RegKey& k, const char* name, uint32_t* type = nullptr) {
  char buffer[512] = {};
  uint32_t length = sizeof buffer - 1, t = 0;
  if (k.QueryValue(name, &t, buffer, &length) != 0) return "<missing>";
  if (type) *type = t;
  return std::string(buffer, length ? length - 1 : 0);
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

TEST_F(RegistryTest, KeyNamesAreCaseInsensitiveAndKeepTheirFirstCase) {
  RegKey k;
  ASSERT_EQ(RegKey::Create(Hive::LocalMachine, "SOFTWARE\\Orvane\\MixedCase", "REG_SZ", k), 0);
  k.Close();
  for (const char* path : {"software\\orvane\\mixedcase", "SOFTWARE\\ORVANE\\MIXEDCASE",
                           "Software\\Orvane\\mixedCASE"}) {
    EXPECT_TRUE(KeyExists(Hive::LocalMachine, path)) << path;
  }
  // Creating under another case opens the same key instead of adding a second one.
  ASSERT_EQ(RegKey::Create(Hive::LocalMachine, "software\\ORVANE\\mixedcase", "other", k), 0);
  RegKey parent;
  ASSERT_EQ(RegKey::Open(Hive::LocalMachine, "SOFTWARE\\Orvane", parent), 0);
  std::string name;
  ASSERT_EQ(parent.EnumKey(0, name), 0);
  EXPECT_EQ(name, "MixedCase");
  EXPECT_EQ(parent.EnumKey(1, name), kRegNoMoreItems);
  std::string cls;
  ASSERT_EQ(k.QueryClass(cls), 0);
  EXPECT_EQ(cls, "REG_SZ") << "an existing key keeps its class";
}

TEST_F(RegistryTest, ValueNamesFoldAsciiOnlyAndKeepTheCaseOfTheirFirstWrite) {
  RegKey k;
  ASSERT_EQ(RegKey::Create(Hive::CurrentUser, "Test", "", k), 0);
  ASSERT_EQ(k.SetValue("MulticastTarget", REG_SZ, "one", 4), 0);
  ASSERT_EQ(k.SetValue("MULTICASTTARGET", REG_SZ, "two", 4), 0);
  EXPECT_EQ(ReadText(k, "multicasttarget"), "two");
  std::string name, data;
  uint32_t type = 0;
  ASSERT_EQ(k.EnumValue(0, name, &type, data), 0);
  EXPECT_EQ(name, "MulticastTarget");
  EXPECT_EQ(k.EnumValue(1, name, &type, data), kRegNoMoreItems);
  // Non-ASCII letters are distinct names (UTF-8 bytes, no folding beyond ASCII).
  ASSERT_EQ(k.SetValue("\xc3\xa9t\xc3\xa9", REG_SZ, "a", 2), 0);
  EXPECT_EQ(ReadText(k, "\xc3\x89T\xc3\x89"), "<missing>");
  // The unnamed default value is a value like any other.
  ASSERT_EQ(k.SetValue("", REG_SZ, "default", 8), 0);
  EXPECT_EQ(ReadText(k, nullptr), "default");
}

TEST_F(RegistryTest, PathsTheStoreCannotTakeAreRefused) {
  const std::string n255(255, 'k'), n256(256, 'k');
  struct Case {
    std::string path;
    int expected;
  } cases[] = {
      {"A\\" + n255, 0},
      {"A\\" + n256, ENAMETOOLONG},
      {"A\\\\B", EINVAL},
      {"\\A", EINVAL},
      {"A\\", EINVAL},
  };
  for (const Case& c : cases) {
    RegKey k;
    SetLastError(0);
    EXPECT_EQ(RegKey::Create(Hive::LocalMachine, c.path, "", k), c.expected) << c.path;
    EXPECT_EQ(k.valid(), c.expected == 0);
    if (c.expected) {
      EXPECT_EQ(GetLastError(), c.expected);
    }
  }
  RegKey parent;
  ASSERT_EQ(RegKey::Open(Hive::LocalMachine, "A", parent), 0);
  std::string name;
  EXPECT_EQ(parent.EnumKey(0, name), 0);
  EXPECT_EQ(parent.EnumKey(1, name), kRegNoMoreItems) << "a refused path created nothing";
}

TEST_F(RegistryTest, QueryReportsSizeAndLeavesATooSmallBufferUntouched) {
  RegKey k;
  ASSERT_EQ(RegKey::Create(Hive::LocalMachine, "Q", "", k), 0);
  ASSERT_EQ(k.SetValue("v", REG_BINARY, "0123456789", 10), 0);
  ASSERT_EQ(k.SetValue("empty", REG_BINARY, nullptr, 0), 0);
  struct Case {
    const char* name;
    uint32_t buffer;
    int rc;
    uint32_t length;
  } cases[] = {
      {"v", 10, 0, 10}, {"v", 64, 0, 10}, {"v", 9, kRegMoreData, 10},
      {"v", 0, kRegMoreData, 10}, {"empty", 0, 0, 0}, {"none", 64, kRegMissing, 64},
  };
  for (const Case& c : cases) {
    char buffer[64];
    memset(buffer, 'x', sizeof buffer);
    uint32_t length = c.buffer, type = 99;
    EXPECT_EQ(k.QueryValue(c.name, &type, buffer, &length), c.rc) << c.name << " " << c.buffer;
    EXPECT_EQ(length, c.length) << c.name << " " << c.buffer;
    if (c.rc) {
      EXPECT_EQ(buffer[0], 'x') << "nothing written on failure";
    }
  }
  uint32_t length = 0;
  EXPECT_EQ(k.QueryValue("v", nullptr, nullptr, &length), 0) << "size only";
  EXPECT_EQ(length, 10u);
}

TEST_F(RegistryTest, DeletedKeysAndTheirHandles) {
  RegKey parent, child, grandchild;
  ASSERT_EQ(RegKey::Create(Hive::LocalMachine, "P\\C\\G", "", grandchild), 0);
  ASSERT_EQ(RegKey::Open(Hive::LocalMachine, "P", parent), 0);
  ASSERT_EQ(RegKey::Open(Hive::LocalMachine, "P\\C", child), 0);
  ASSERT_EQ(child.SetValue("x", REG_DWORD, "\1\0\0\0", 4), 0);
  EXPECT_EQ(parent.DeleteKey("C"), ENOTEMPTY) << "a key with sub-keys stays";
  EXPECT_EQ(parent.DeleteKey(""), EINVAL) << "never the key itself";
  EXPECT_EQ(parent.DeleteKey("missing"), kRegMissing);
  EXPECT_EQ(child.DeleteKey("G"), 0);
  EXPECT_EQ(parent.DeleteKey("C"), 0);
  // Handles of deleted keys fail instead of writing into nowhere; a new key never takes over
  // the old one's identity.
  EXPECT_EQ(child.SetValue("y", REG_DWORD, "\1\0\0\0", 4), kRegMissing);
  EXPECT_EQ(grandchild.SetValue("y", REG_DWORD, "\1\0\0\0", 4), kRegMissing);
  RegKey again;
  ASSERT_EQ(RegKey::Create(Hive::LocalMachine, "P\\C", "", again), 0);
  uint32_t length = 4;
  char data[4];
  EXPECT_EQ(again.QueryValue("x", nullptr, data, &length), kRegMissing) << "values went too";
  EXPECT_EQ(child.QueryValue("x", nullptr, data, &length), kRegMissing);
  EXPECT_EQ(child.Close(), 0);
  EXPECT_EQ(child.Close(), EBADF);
  EXPECT_EQ(child.SetValue("x", REG_DWORD, data, 4), EBADF);
}

TEST_F(RegistryTest, ExpandEnvironmentStrings) {
  setenv("ORVANE_T1", "one", 1);
  setenv("ORVANE_EMPTY", "", 1);
  unsetenv("ORVANE_UNSET");
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"%ORVANE_T1%", "one"},
      {"a%ORVANE_T1%b%ORVANE_T1%c", "aonebonec"},
      {"%ORVANE_UNSET%/x", "%ORVANE_UNSET%/x"},
      {"%ORVANE_EMPTY%x", "x"},
      {"100%", "100%"},
      {"%%", "%%"},
      {"%ORVANE_UNSET%ORVANE_T1%", "%ORVANE_UNSET%ORVANE_T1%"},
      {"no references", "no references"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(ExpandEnvironmentStrings(c.in), c.out) << c.in;
}

TEST_F(RegistryTest, RegistryFolderFollowsTheEnvironment) {
  const char* home = getenv("HOME");
  const std::string saved_home = home ? home : "";
  setenv("HOME", "/home/someone", 1);
  struct Case {
    const char* own;
    const char* xdg;
    const char* expected;
  } cases[] = {
      {"/srv/reg", "/xdg", "/srv/reg"},
      {nullptr, "/xdg", "/xdg/orvane"},
      {nullptr, "relative/xdg", "/home/someone/.config/orvane"},
      {nullptr, nullptr, "/home/someone/.config/orvane"},
      {"", nullptr, "/home/someone/.config/orvane"},
  };
  for (const Case& c : cases) {
    c.own ? setenv("ORVANE_REGISTRY", c.own, 1) : unsetenv("ORVANE_REGISTRY");
    c.xdg ? setenv("XDG_CONFIG_HOME", c.xdg, 1) : unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(RegistryFolder(), c.expected);
  }
  unsetenv("XDG_CONFIG_HOME");
  setenv("HOME", saved_home.c_str(), 1);
}

TEST_F(RegistryTest, FolderIsCreatedPrivateWithItsParents) {
  const std::string deep = temp_ / "a/b/registry";
  setenv("ORVANE_REGISTRY", deep.c_str(), 1);
  RegKey k;
  ASSERT_EQ(RegKey::Open(Hive::LocalMachine, "", k), 0);
  for (const std::string& folder : {temp_ / "a", temp_ / "a/b", deep}) {
    struct stat st;
    ASSERT_EQ(stat(folder.c_str(), &st), 0) << folder;
    EXPECT_EQ(st.st_mode & 0777, 0700u) << folder;
  }
  struct stat st;
  EXPECT_EQ(stat(HiveFile(Hive::LocalMachine).c_str(), &st), 0);
  EXPECT_NE(stat(HiveFile(Hive::CurrentUser).c_str(), &st), 0) << "only the hive in use";
}

// The keys a fresh hive holds depend on who creates it; both kinds are checked, the other one
// in a child running as nobody when the test runs as root.
TEST_F(RegistryTest, FreshHivesHoldThePlatformKeys) {
  auto check = [](bool root, const std::string& registry) {
    setenv("ORVANE_REGISTRY", registry.c_str(), 1);
    setenv("HOME", "/home/tester", 1);
    unsetenv("XDG_DATA_HOME");
    bool ok = true;
    RegKey k;
    uint32_t type = 0;
    ok &= RegKey::Open(Hive::LocalMachine, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion", k) == 0;
    ok &= ReadText(k, "ProgramFilesDir", &type) == (root ? "/opt" : "%HOME%/.local/opt");
    ok &= type == REG_EXPAND_SZ;
    const char* shell = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\explorer\\Shell Folders";
    RegKey common;
    const bool has_common = RegKey::Open(Hive::LocalMachine, shell, common) == 0;
    ok &= has_common == root;
    if (has_common) ok &= ReadText(common, "Common Programs") == "/usr/share/applications";
    RegKey user;
    ok &= RegKey::Open(Hive::CurrentUser, shell, user) == 0;
    ok &= ReadText(user, "Programs", &type) == "%HOME%/.local/share/applications";
    ok &= type == REG_EXPAND_SZ;
    ok &= ExpandEnvironmentStrings(ReadText(user, "Programs")) ==
          "/home/tester/.local/share/applications";
    return ok;
  };
  const bool root = geteuid() == 0;
  EXPECT_TRUE(check(root, registry_));
  if (root) {
    const std::string other = temp_ / "nobody";
    ASSERT_EQ(mkdir(other.c_str(), 0777), 0);
    ASSERT_EQ(chown(other.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(temp_.path().c_str(), 0755), 0);
    EXPECT_EQ(InChild([&] { return check(false, other + "/reg"); }, true), 0);
  }
  // XDG_DATA_HOME moves the user's menu folder; a relative one is ignored.
  setenv("XDG_DATA_HOME", "/data/home", 1);
  setenv("ORVANE_REGISTRY", (temp_ / "xdg").c_str(), 1);
  RegKey user;
  ASSERT_EQ(RegKey::Open(Hive::CurrentUser,
                         "Software\\Microsoft\\Windows\\CurrentVersion\\explorer\\Shell Folders",
                         user),
            0);
  EXPECT_EQ(ReadText(user, "Programs"), "/data/home/applications");
  unsetenv("XDG_DATA_HOME");
}

TEST_F(RegistryTest, DamagedOrForeignHiveFilesFailWithoutHarm) {
  ASSERT_EQ(mkdir(registry_.c_str(), 0700), 0);
  const std::string file = HiveFile(Hive::LocalMachine);
  // A real hive, cut in the middle, serves as the third kind of damage.
  std::string good;
  {
    setenv("ORVANE_REGISTRY", (temp_ / "good").c_str(), 1);
    RegKey k;
    ASSERT_EQ(RegKey::Create(Hive::LocalMachine, "SOFTWARE\\Orvane\\VARNO\\Parameters", "", k), 0);
    std::string big(3000, 'x');
    for (int i = 0; i < 50; ++i)
      ASSERT_EQ(k.SetValue(("v" + std::to_string(i)).c_str(), REG_SZ, big.c_str(), 3001), 0);
    k.Close();
    good = ReadFile(HiveFile(Hive::LocalMachine));
    setenv("ORVANE_REGISTRY", registry_.c_str(), 1);
  }
  ASSERT_GT(good.size(), 8192u);
  const std::string header_only = good.substr(0, 100) + std::string(4000, '\xff');
  std::string scrambled = good;
  for (size_t i = 4096; i < scrambled.size(); i += 7) scrambled[i] = static_cast<char>(i);
  const std::string cases[] = {
      std::string("this is not a database at all, just text\n") + std::string(5000, 'z'),
      header_only,
      scrambled,
  };
  for (const std::string& bytes : cases) {
    WriteFile(file, bytes);
    RegKey k;
    int open = RegKey::Open(Hive::LocalMachine, "SOFTWARE\\Orvane\\VARNO\\Parameters", k);
    if (open == 0) {
      // Damage past the pages that the open read may show only on the value reads (SQLite
      // keeps no checksums, so scrambled data may even read back): they must simply return.
      char buffer[4000];
      for (int i = 0; i < 50; ++i) {
        uint32_t length = sizeof buffer;
        int rc = k.QueryValue(("v" + std::to_string(i)).c_str(), nullptr, buffer, &length);
        EXPECT_LE(length, rc == kRegMoreData ? UINT32_MAX : sizeof buffer);
      }
    }
    RegKey created;
    int create = RegKey::Create(Hive::LocalMachine, "SOFTWARE\\New", "", created);
    if (&bytes != &cases[2]) {
      EXPECT_NE(open, 0);
      EXPECT_NE(create, 0);
      EXPECT_NE(GetLastError(), 0);
    }
  }
  // Another program's SQLite file is not taken over.
  std::string foreign;
  testsupport::Run("sqlite3 '" + file + ".foreign' 'CREATE TABLE t(x); INSERT INTO t VALUES(1);'"
                   " && echo ok", &foreign);
  if (foreign == "ok\n") {
    ASSERT_EQ(rename((file + ".foreign").c_str(), file.c_str()), 0);
    const std::string before = ReadFile(file);
    RegKey k;
    EXPECT_EQ(RegKey::Create(Hive::LocalMachine, "SOFTWARE", "", k), SqliteError(26));
    EXPECT_EQ(ReadFile(file), before);
  }
  // An empty file (as left by a crash before the first write) becomes a hive.
  WriteFile(file, "");
  RegKey k;
  EXPECT_EQ(RegKey::Open(Hive::LocalMachine, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion", k), 0);
}

TEST_F(RegistryTest, AHiveThatCannotBeWrittenCannotBeOpened) {
  // File modes mean nothing to root: the checks run as nobody.
  const std::string folder = temp_ / "ro";
  ASSERT_EQ(mkdir(folder.c_str(), 0777), 0);
  ASSERT_EQ(chmod(temp_.path().c_str(), 0755), 0);
  if (geteuid() == 0) {
    ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
  }
  setenv("ORVANE_REGISTRY", (folder + "/reg").c_str(), 1);
  auto body = [&] {
    RegKey k;
    if (RegKey::Create(Hive::LocalMachine, "SOFTWARE\\Orvane", "", k) != 0) return false;
    k.Close();
    const std::string file = HiveFile(Hive::LocalMachine);
    bool ok = true;
    for (mode_t mode : {0444, 0000}) {
      chmod(file.c_str(), mode);
      SetLastError(0);
      ok &= RegKey::Open(Hive::LocalMachine, "SOFTWARE\\Orvane", k) == EACCES;
      ok &= GetLastError() == EACCES;
    }
    chmod(file.c_str(), 0644);
    ok &= RegKey::Open(Hive::LocalMachine, "SOFTWARE\\Orvane", k) == 0;
    // A folder that cannot be made fails too.
    k.Close();
    setenv("ORVANE_REGISTRY", (file + "/sub").c_str(), 1);
    ok &= RegKey::Open(Hive::LocalMachine, "", k) == ENOTDIR;
    return ok;
  };
  EXPECT_EQ(InChild(body, true), 0);
}

TEST_F(RegistryTest, AWriterWaitsForAnotherProcessHoldingTheLock) {
  RegKey k;
  ASSERT_EQ(RegKey::Create(Hive::LocalMachine, "Lock", "", k), 0);
  std::string out;
  const std::string file = HiveFile(Hive::LocalMachine);
  if (testsupport::Run("command -v sqlite3 >/dev/null && echo ok", &out) != 0 || out != "ok\n")
    GTEST_SKIP() << "the sqlite3 shell is not installed";
  // The shell takes the write lock and keeps it for about 1.5 s.
  testsupport::Child holder({"sh", "-c", "(echo 'BEGIN IMMEDIATE;'; sleep 1.5; echo 'COMMIT;') |"
                                         " sqlite3 '" + file + "'"});
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(k.SetValue("v", REG_DWORD, "\7\0\0\0", 4), 0);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GT(waited, std::chrono::milliseconds(500)) << "the lock was not held";
  EXPECT_LT(waited, std::chrono::milliseconds(5000));
  int status = -1;
  EXPECT_TRUE(holder.Wait(std::chrono::seconds(10), &status));
  EXPECT_EQ(status, 0);
}

TEST_F(RegistryTest, ALockHeldPastTheTimeoutFailsTheWrite) {
  RegKey k;
  ASSERT_EQ(RegKey::Create(Hive::LocalMachine, "Lock", "", k), 0);
  std::string out;
  const std::string file = HiveFile(Hive::LocalMachine);
  if (testsupport::Run("command -v sqlite3 >/dev/null && echo ok", &out) != 0 || out != "ok\n")
    GTEST_SKIP() << "the sqlite3 shell is not installed";
  testsupport::Child holder({"sh", "-c", "(echo 'BEGIN IMMEDIATE;'; sleep 6; echo 'COMMIT;') |"
                                         " sqlite3 '" + file + "'"});
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(k.SetValue("v", REG_DWORD, "\7\0\0\0", 4), SqliteError(5));  // SQLITE_BUSY
  EXPECT_EQ(GetLastError(), SqliteError(5));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4900));
  // Readers are not blocked by a writer.
  uint32_t length = 4;
  char data[4];
  EXPECT_EQ(k.QueryValue("v", nullptr, data, &length), kRegMissing);
  holder.Kill();
}

TEST_F(RegistryTest, ProcessesCreatingOneFreshHiveAtOnceAllSucceed) {
  constexpr int kProcesses = 4;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = fork();
    if (pid == 0) {
      RegKey k;
      int rc = RegKey::Create(Hive::LocalMachine, "SOFTWARE\\P" + std::to_string(p), "", k);
      _exit(rc == 0 ? 0 : 1);
    }
    ASSERT_GT(pid, 0);
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  // Set up once: the seeded value exists exactly once, every process's key is there.
  RegKey k;
  ASSERT_EQ(RegKey::Open(Hive::LocalMachine, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion", k), 0);
  std::string name, data;
  EXPECT_EQ(k.EnumValue(0, name, nullptr, data), 0);
  EXPECT_EQ(k.EnumValue(1, name, nullptr, data), kRegNoMoreItems);
  for (int p = 0; p < kProcesses; ++p)
    EXPECT_TRUE(KeyExists(Hive::LocalMachine, "SOFTWARE\\P" + std::to_string(p)));
}

// The settings store and RegistryKey: defaults that survive failed reads, value types and
// sizes, key-tree deletion, and several processes writing one section.
#include <atomic>
#include <cstring>
#include <thread>

#include "Common/Registry.h"
#include "tests/registry/RegistryTestUtil.h"

namespace {
const char kParameters[] = "SOFTWARE\\Orvane\\VARNO\\Parameters";

void Store(const char* name, uint32_t type, const std::string& bytes,
           const char* path = kParameters) {
  RegKey k;
  ASSERT_EQ(RegKey::Create(Hive::LocalMachine, path, "REG_SZ", k), 0);
  ASSERT_EQ(k.SetValue(name, type, bytes.data(), static_cast<uint32_t>(bytes.size())), 0);
}

std::string Class(const std::string& path) {
  RegKey k;
  std::string cls = "<missing>";
  if (RegKey::Open(Hive::LocalMachine, path, k) == 0) k.QueryClass(cls);
  return cls;
}

std::string B(const char* bytes, size_t n) { return std::string(bytes, n); }

std::string Stderr(const std::function<void()>& body) {
  testing::internal::CaptureStderr();
  body();
  return testing::internal::GetCapturedStderr();
}
}  // namespace

TEST_F(RegistryTest, ReadsKeepTheDefaultAndCreateNothing) {
  uint32_t value = 77;
  char text[kRegTextBytes] = "227.0.1.1";
  EXPECT_FALSE(GetSettingDword("RateScreen", &value, "Parameters"));
  EXPECT_FALSE(GetSettingString("MulticastTarget", text, "Parameters"));
  EXPECT_EQ(value, 77u);
  EXPECT_STREQ(text, "227.0.1.1");
  EXPECT_FALSE(KeyExists(Hive::LocalMachine, "SOFTWARE\\Orvane"));
  RegistryKey key;
  EXPECT_FALSE(key.Open(kParameters));
  EXPECT_EQ(GetLastError(), kRegMissing);
  EXPECT_FALSE(KeyExists(Hive::LocalMachine, "SOFTWARE\\Orvane"));
  // An existing section without the value: still false, still nothing written.
  ASSERT_TRUE(SetSettingDword("Other", 1, "Parameters"));
  EXPECT_FALSE(GetSettingDword("RateScreen", &value, "Parameters"));
  EXPECT_FALSE(GetSettingString("RateScreen", text, "Parameters"));
  RegKey k;
  ASSERT_EQ(RegKey::Open(Hive::LocalMachine, kParameters, k), 0);
  std::string name, data;
  EXPECT_EQ(k.EnumValue(1, name, nullptr, data), kRegNoMoreItems);
}

TEST_F(RegistryTest, WritesCreateThePathWithClassRegSz) {
  ASSERT_TRUE(SetSettingString("MulticastTarget", "239.1.2.3:5000", "Parameters"));
  EXPECT_EQ(Class("SOFTWARE"), "") << "a seeded key keeps its class";
  EXPECT_EQ(Class("SOFTWARE\\Orvane"), "REG_SZ");
  EXPECT_EQ(Class("SOFTWARE\\Orvane\\VARNO"), "REG_SZ");
  EXPECT_EQ(Class(kParameters), "REG_SZ");
  RegKey k;
  ASSERT_EQ(RegKey::Open(Hive::LocalMachine, kParameters, k), 0);
  char data[64];
  uint32_t type = 0, length = sizeof data;
  ASSERT_EQ(k.QueryValue("MulticastTarget", &type, data, &length), 0);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(std::string(data, length), std::string("239.1.2.3:5000") + '\0');
  ASSERT_TRUE(SetSettingDword("RateScreen", 0xfffffffe, "Parameters"));
  length = sizeof data;
  ASSERT_EQ(k.QueryValue("RateScreen", &type, data, &length), 0);
  EXPECT_EQ(type, REG_DWORD);
  ASSERT_EQ(length, 4u);
  uint32_t back = 0;
  EXPECT_TRUE(GetSettingDword("ratescreen", &back, "parameters"));
  EXPECT_EQ(back, 0xfffffffeu);
}

TEST_F(RegistryTest, ValuesOfEachTypeAndSizeReadAsDwordAndAsString) {
  setenv("ORVANE_X", "/expanded", 1);
  const std::string long_home(250, 'h');
  setenv("ORVANE_LONG", long_home.c_str(), 1);
  struct Case {
    const char* what;
    uint32_t type;
    std::string bytes;
    bool dword_ok;
    uint32_t dword;
    bool string_ok;
    std::string text;  // the bytes the buffer holds, up to the terminator the read added
  } cases[] = {
      {"dword", REG_DWORD, std::string("abcd", 4), true, 0x64636261, true, B("abcd\0", 5)},
      {"small dword", REG_DWORD, B("\5\0\0\0", 4), true, 5, true, B("\5\0\0\0\0", 5)},
      {"dword of 3 bytes", REG_DWORD, "abc", false, 0, true, B("abc\0", 4)},
      {"dword of 8 bytes", REG_DWORD, "abcdefgh", false, 0, true, B("abcdefgh\0", 9)},
      {"empty dword", REG_DWORD, "", false, 0, true, B("\0", 1)},
      {"binary of 4 bytes", REG_BINARY, "abcd", false, 0, true, B("abcd\0", 5)},
      {"text", REG_SZ, B("123\0", 4), false, 0, true, B("123\0\0", 5)},
      {"text without terminator", REG_SZ, "xyz", false, 0, true, B("xyz\0", 4)},
      {"plain %ORVANE_X%", REG_SZ, B("%ORVANE_X%\0", 11), false, 0, true,
       B("%ORVANE_X%\0\0", 12)},
      {"expand %ORVANE_X%", REG_EXPAND_SZ, B("%ORVANE_X%/a\0", 13), false, 0, true,
       B("/expanded/a\0", 12)},
      {"expansion of 259", REG_EXPAND_SZ, "%ORVANE_LONG%" + std::string(9, 'e') + '\0', false,
       0, true, long_home + std::string(9, 'e') + '\0'},
      {"expansion of 260", REG_EXPAND_SZ, "%ORVANE_LONG%" + std::string(10, 'e') + '\0', false,
       0, false, ""},
  };
  int i = 0;
  for (const Case& c : cases) {
    const std::string name = "V" + std::to_string(i++);
    Store(name.c_str(), c.type, c.bytes);
    uint32_t value = 0xdefa;
    EXPECT_EQ(GetSettingDword(name.c_str(), &value, "Parameters"), c.dword_ok) << c.what;
    EXPECT_EQ(value, c.dword_ok ? c.dword : 0xdefau) << c.what;
    char text[kRegTextBytes];
    memset(text, '#', sizeof text);
    strcpy(text, "default");
    const bool ok = GetSettingString(name.c_str(), text, "Parameters");
    EXPECT_EQ(ok, c.string_ok) << c.what;
    if (ok) {
      EXPECT_EQ(std::string(text, c.text.size()), c.text) << c.what;
    } else {
      EXPECT_STREQ(text, "default") << c.what;
    }
  }
}

TEST_F(RegistryTest, TextsUpTo259CharactersAreReadWholeLongerOnesLeaveTheDefault) {
  struct Case {
    size_t chars;
    bool ok;
  } cases[] = {{0, true}, {258, true}, {259, true}, {260, false}, {300, false}, {5000, false}};
  for (const Case& c : cases) {
    const std::string value(c.chars, 'a' + c.chars % 26);
    ASSERT_TRUE(SetSettingString("MulticastTarget", value.c_str(), "Parameters"));
    // The caller's default, as the server keeps its group.
    char group[kRegTextBytes] = "227.0.1.1";
    EXPECT_EQ(GetSettingString("MulticastTarget", group, "Parameters"), c.ok) << c.chars;
    EXPECT_EQ(std::string(group), c.ok ? value : "227.0.1.1") << c.chars;
    RegistryKey key;
    ASSERT_TRUE(key.Open(kParameters));
    char direct[kRegTextBytes] = "keep";
    EXPECT_EQ(key.GetString("MulticastTarget", direct), c.ok);
    if (!c.ok) {
      EXPECT_STREQ(direct, "keep");
    }
  }
}

TEST_F(RegistryTest, RegistryKeyBasics) {
  RegistryKey key;
  EXPECT_FALSE(key.Close()) << "nothing open";
  ASSERT_TRUE(key.Create("SOFTWARE\\Test\\Key"));
  EXPECT_EQ(key.path(), "SOFTWARE\\Test\\Key");
  EXPECT_TRUE(key.SetDword("D", 42));
  EXPECT_TRUE(key.GetDword("D", nullptr)) << "no place for the integer";
  uint32_t d = 0;
  EXPECT_TRUE(key.GetDword("d", &d));
  EXPECT_EQ(d, 42u);
  EXPECT_FALSE(key.SetString("S", nullptr));
  EXPECT_FALSE(key.GetString("D", nullptr));
  // A failed open keeps the path of the last successful one; reopening releases the old key.
  EXPECT_FALSE(key.Open("SOFTWARE\\Missing"));
  EXPECT_EQ(key.path(), "SOFTWARE\\Test\\Key");
  EXPECT_FALSE(key.key().valid());
  const int fds = testsupport::CountFds(getpid());
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(key.Open("SOFTWARE\\Test\\Key"));
  EXPECT_TRUE(key.Close());
  EXPECT_EQ(testsupport::CountFds(getpid()), fds);
  // The user's hive is a separate tree.
  EXPECT_FALSE(key.OpenUser("SOFTWARE\\Test\\Key"));
  EXPECT_TRUE(key.OpenUser("Software\\Microsoft\\Windows\\CurrentVersion"));
}

TEST_F(RegistryTest, SectionNamesThatWouldBeCutAreRefused) {
  // "SOFTWARE\Orvane\VARNO\" is 22 characters: a 238-character section makes 260.
  const std::string fits(237, 's'), too_long(238, 's');
  EXPECT_TRUE(SetSettingDword("V", 1, fits.c_str()));
  // Cut at 259 the longer name would be the fitting one: it must not be written there.
  EXPECT_FALSE(SetSettingDword("V", 2, too_long.c_str()));
  EXPECT_FALSE(SetSettingString("S", "x", too_long.c_str()));
  uint32_t v = 0;
  EXPECT_FALSE(GetSettingDword("V", &v, too_long.c_str()));
  EXPECT_TRUE(GetSettingDword("V", &v, fits.c_str()));
  EXPECT_EQ(v, 1u);
  char text[kRegTextBytes] = "d";
  EXPECT_FALSE(GetSettingString("S", text, fits.c_str()));
  EXPECT_FALSE(SetSettingDword("V", 1, nullptr));
}

TEST_F(RegistryTest, OpenReportedReportsAndKeepsTheCause) {
  RegistryKey key;
  std::string err = Stderr([&] {
    SetLastError(0);
    EXPECT_FALSE(key.OpenReported("SOFTWARE\\Nope"));
    EXPECT_EQ(GetLastError(), kRegMissing);
  });
  EXPECT_EQ(Count(err, "RegOpenKeyEx(SOFTWARE\\Nope)"), 1) << err;
  err = Stderr([&] {
    EXPECT_FALSE(key.Open("SOFTWARE\\Nope"));
    EXPECT_TRUE(key.OpenReported("SOFTWARE"));
  });
  EXPECT_EQ(err, "");
  EXPECT_EQ(LogText(), "") << "registry failures reach the debug stream only";
}

TEST_F(RegistryTest, DeleteKeyTreeRemovesEveryLevelAndLeavesTheParent) {
  for (const char* path : {"SOFTWARE\\T\\A\\B1\\C1\\D1", "SOFTWARE\\T\\A\\B1\\C2",
                           "SOFTWARE\\T\\A\\B2", "SOFTWARE\\T\\Sibling", "SOFTWARE\\T\\A2"}) {
    Store("v", REG_DWORD, "abcd", path);
  }
  std::string err = Stderr([] { EXPECT_TRUE(DeleteKeyTree("SOFTWARE\\T\\A")); });
  EXPECT_EQ(err, "");
  EXPECT_FALSE(KeyExists(Hive::LocalMachine, "SOFTWARE\\T\\A"));
  EXPECT_TRUE(KeyExists(Hive::LocalMachine, "SOFTWARE\\T"));
  EXPECT_TRUE(KeyExists(Hive::LocalMachine, "SOFTWARE\\T\\Sibling"));
  EXPECT_TRUE(KeyExists(Hive::LocalMachine, "SOFTWARE\\T\\A2")) << "a name with A as prefix";
  // Re-creating the key finds no leftover values or sub-keys.
  RegKey again;
  ASSERT_EQ(RegKey::Create(Hive::LocalMachine, "SOFTWARE\\T\\A\\B1", "", again), 0);
  std::string name, data;
  EXPECT_EQ(again.EnumKey(0, name), kRegNoMoreItems);
  EXPECT_EQ(again.EnumValue(0, name, nullptr, data), kRegNoMoreItems);
}

TEST_F(RegistryTest, DeleteKeyTreeFailures) {
  Store("v", REG_DWORD, "abcd", "SOFTWARE\\Keep");
  struct Case {
    const char* path;
    int reports;
    const char* named;  // what the report names
  } cases[] = {
      {"SOFTWARE", 0, ""},
      {"", 0, ""},
      {"SOFTWARE\\Missing", 1, "RegOpenKeyEx(SOFTWARE\\Missing)"},
      {"NoSuch\\Parent\\Key", 1, "RegOpenKeyEx(NoSuch\\Parent)"},
      {"\\SOFTWARE", 1, "RegOpenKeyEx(\\SOFTWARE)"},
      {"SOFTWARE\\", 1, "RegOpenKeyEx(SOFTWARE\\)"},
  };
  for (const Case& c : cases) {
    std::string err = Stderr([&] { EXPECT_FALSE(DeleteKeyTree(c.path)) << c.path; });
    EXPECT_EQ(Count(err, "ERROR: "), c.reports) << c.path << ": " << err;
    if (c.reports) {
      EXPECT_EQ(Count(err, c.named), 1) << err;
    }
    EXPECT_TRUE(KeyExists(Hive::LocalMachine, "SOFTWARE\\Keep")) << c.path;
  }
  EXPECT_FALSE(DeleteKeyTree(nullptr));
}

TEST_F(RegistryTest, LongChildPathsAreNeverCutOntoAnotherKey) {
  // The parent's path is 212 characters; the child's name of 100 makes child paths of 313
  // and more. Cut at 259 they would name "victim", whose sub-key must survive.
  const std::string part(50, 'p');
  const std::string parent = "SOFTWARE\\" + part + "\\" + part + "\\" + part + "\\" + part;
  const size_t kept = 259 - parent.size() - 1;
  const std::string child = std::string(kept, 'c') + std::string(100 - kept, 'd');
  const std::string full = parent + "\\" + child;
  const std::string victim = full.substr(0, 259);
  ASSERT_EQ(victim, parent + "\\" + std::string(kept, 'c'));
  Store("v", REG_DWORD, "abcd", (victim + "\\Precious").c_str());
  Store("v", REG_DWORD, "abcd", (full + "\\" + std::string(200, 'x') + "\\y").c_str());
  Store("v", REG_DWORD, "abcd", (full + "\\z").c_str());
  std::string err = Stderr([&] { EXPECT_TRUE(DeleteKeyTree(full.c_str())); });
  EXPECT_EQ(err, "");
  EXPECT_FALSE(KeyExists(Hive::LocalMachine, full));
  EXPECT_TRUE(KeyExists(Hive::LocalMachine, victim + "\\Precious"));
  // A name the store cannot take fails its branch with the open report, naming it whole.
  RegistryKey key;
  ASSERT_TRUE(key.Open(parent.c_str()));
  const std::string huge(300, 'h');
  err = Stderr([&] { EXPECT_FALSE(key.DeleteSubKeyTree(huge.c_str())); });
  EXPECT_EQ(Count(err, "RegOpenKeyEx(" + parent + "\\" + huge + ")"), 1) << err;
  EXPECT_TRUE(KeyExists(Hive::LocalMachine, victim + "\\Precious"));
}

TEST_F(RegistryTest, DeleteSubKeyTreeStaysInTheKeysOwnHive) {
  RegKey user, machine;
  ASSERT_EQ(RegKey::Create(Hive::CurrentUser, "Software\\Orvane\\Sub\\Deep", "", user), 0);
  ASSERT_EQ(RegKey::Create(Hive::LocalMachine, "Software\\Orvane\\Sub\\Deep", "", machine), 0);
  user.Close();
  machine.Close();
  RegistryKey key;
  ASSERT_TRUE(key.OpenUser("Software\\Orvane"));
  EXPECT_TRUE(key.DeleteSubKeyTree("Sub"));
  EXPECT_FALSE(KeyExists(Hive::CurrentUser, "Software\\Orvane\\Sub"));
  EXPECT_TRUE(KeyExists(Hive::LocalMachine, "Software\\Orvane\\Sub\\Deep"));
}

TEST_F(RegistryTest, ProcessesWritingOneSectionAtOnceLoseNothing) {
  constexpr int kProcesses = 3, kWrites = 150;
  ASSERT_TRUE(SetSettingDword("Start", 1, "Parameters"));  // the hive exists before the race
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = fork();
    if (pid == 0) {
      bool ok = true;
      for (int i = 0; i < kWrites; ++i) {
        const std::string name = "P" + std::to_string(p) + "_" + std::to_string(i);
        ok &= SetSettingDword(name.c_str(), static_cast<uint32_t>(p * 1000 + i), "Parameters");
        ok &= SetSettingString(("S" + name).c_str(), name.c_str(), "Parameters");
        ok &= SetSettingDword("Shared", static_cast<uint32_t>(p), "Parameters");
      }
      _exit(ok ? 0 : 1);
    }
    ASSERT_GT(pid, 0);
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a write failed";
  }
  int missing = 0;
  for (int p = 0; p < kProcesses; ++p) {
    for (int i = 0; i < kWrites; ++i) {
      const std::string name = "P" + std::to_string(p) + "_" + std::to_string(i);
      uint32_t v = 0;
      char text[kRegTextBytes] = "";
      if (!GetSettingDword(name.c_str(), &v, "Parameters") || v != uint32_t(p * 1000 + i))
        ++missing;
      if (!GetSettingString(("S" + name).c_str(), text, "Parameters") || name != text) ++missing;
    }
  }
  EXPECT_EQ(missing, 0);
  uint32_t shared = 99;
  EXPECT_TRUE(GetSettingDword("Shared", &shared, "Parameters"));
  EXPECT_LT(shared, uint32_t(kProcesses));
}

TEST_F(RegistryTest, ThreadsWritingAtOnceLoseNothingAndFailedOpensLeakNothing) {
  constexpr int kThreads = 4, kWrites = 100;
  ASSERT_TRUE(SetSettingDword("Start", 1, "Parameters"));
  const int fds = testsupport::CountFds(getpid());
  std::vector<std::thread> threads;
  std::atomic<int> failed{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failed] {
      for (int i = 0; i < kWrites; ++i) {
        const std::string name = "T" + std::to_string(t) + "_" + std::to_string(i);
        if (!SetSettingDword(name.c_str(), static_cast<uint32_t>(i), "Parameters")) ++failed;
        uint32_t v = 0;
        if (!GetSettingDword(name.c_str(), &v, "Parameters") || v != uint32_t(i)) ++failed;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(testsupport::CountFds(getpid()), fds);
  // Opens that fail on a damaged file close what they opened.
  std::ofstream(HiveFile(Hive::LocalMachine), std::ios::trunc) << std::string(8192, 'g');
  testsupport::Run("rm -f '" + HiveFile(Hive::LocalMachine) + "'-wal '" +
                   HiveFile(Hive::LocalMachine) + "'-shm");
  for (int i = 0; i < 200; ++i) {
    uint32_t v = 5;
    ASSERT_FALSE(GetSettingDword("Start", &v, "Parameters"));
    ASSERT_FALSE(SetSettingDword("Start", 2, "Parameters"));
    ASSERT_EQ(v, 5u);
  }
  EXPECT_EQ(testsupport::CountFds(getpid()), fds);
}

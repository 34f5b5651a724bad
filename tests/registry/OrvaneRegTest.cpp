// The orvane-reg tool, run as a user runs it.
#include "Common/Registry.h"
#include "tests/registry/RegistryTestUtil.h"

namespace {
struct Result {
  int status;
  std::string out;
};
}  // namespace

class OrvaneRegTest : public RegistryTest {
 protected:
  // Arguments are passed through the shell in single quotes, so backslashes stay as typed.
  // input, when given, is the tool's standard input (printf format, no single quotes).
  Result Reg(const std::vector<std::string>& args, const char* input = nullptr) {
    std::string command = "ORVANE_REGISTRY='" + registry_ + "' '" + testsupport::BinDir() +
                          "/orvane-reg'";
    command = (input ? "printf '" + std::string(input) + "' | " : "") + command +
              (input ? "" : " </dev/null");
    for (const std::string& a : args) command += " '" + a + "'";
    Result r;
    r.status = testsupport::Run(command + " 2>&1", &r.out);
    return r;
  }
};

TEST_F(OrvaneRegTest, AddThenQueryRoundTrips) {
  const std::string key = "HKLM\\SOFTWARE\\Orvane\\VARNO\\Parameters";
  struct Case {
    const char* name;
    const char* type;
    const char* data;
    const char* shown;  // the query's line
  } cases[] = {
      {"MulticastTTL", "REG_DWORD", "32", "    MulticastTTL    REG_DWORD    0x20\n"},
      {"RateScreen", "REG_DWORD", "0xFFFFFFFF", "    RateScreen    REG_DWORD    0xffffffff\n"},
      {"MulticastTarget", "REG_SZ", "239.1.2.3:5000",
       "    MulticastTarget    REG_SZ    239.1.2.3:5000\n"},
      {"Home", "REG_EXPAND_SZ", "%HOME%/x", "    Home    REG_EXPAND_SZ    %HOME%/x\n"},
      {"Raw", "REG_BINARY", "00ff10", "    Raw    REG_BINARY    00FF10\n"},
  };
  for (const Case& c : cases) {
    Result add = Reg({"add", key, "/v", c.name, "/t", c.type, "/d", c.data});
    EXPECT_EQ(add.status, 0) << add.out;
    // Asked in capitals, shown as stored.
    std::string upper = c.name;
    for (char& ch : upper) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    Result q = Reg({"query", key, upper});
    EXPECT_EQ(q.status, 0) << q.out;
    EXPECT_EQ(q.out, "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane\\VARNO\\Parameters\n" +
                         std::string(c.shown) + "\n");
  }
  // What the tool wrote is what the programs read.
  uint32_t ttl = 0;
  EXPECT_TRUE(GetSettingDword("MulticastTTL", &ttl, "Parameters"));
  EXPECT_EQ(ttl, 32u);
  char target[kRegTextBytes] = "";
  EXPECT_TRUE(GetSettingString("MulticastTarget", target, "Parameters"));
  EXPECT_STREQ(target, "239.1.2.3:5000");
  // The key listing: values in name order, then sub-keys; long hive names work alike.
  ASSERT_EQ(Reg({"add", "HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane\\VARNO\\Parameters\\Sub"}).status, 0);
  Result all = Reg({"query", "hklm\\SOFTWARE\\Orvane\\VARNO\\Parameters"});
  EXPECT_EQ(all.status, 0);
  EXPECT_EQ(Count(all.out, "    "), 5 * 3) << all.out;
  EXPECT_LT(all.out.find("Home"), all.out.find("MulticastTarget"));
  EXPECT_NE(all.out.find("\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane\\VARNO\\Parameters\\Sub\n"),
            std::string::npos)
      << all.out;
}

TEST_F(OrvaneRegTest, DeleteValuesAndTrees) {
  const std::string key = "HKCU\\Software\\Orvane";
  ASSERT_EQ(Reg({"add", key + "\\A\\B", "/v", "x", "/d", "1"}).status, 0);
  ASSERT_EQ(Reg({"add", key, "/v", "y", "/d", "2"}).status, 0);
  EXPECT_EQ(Reg({"delete", key, "/v", "Y"}).status, 0);
  EXPECT_EQ(Reg({"query", key, "y"}).status, 1);
  EXPECT_EQ(Reg({"delete", key, "/v", "y"}).status, 1) << "already gone";
  EXPECT_EQ(Reg({"delete", key + "\\A", "/f"}).status, 0);
  EXPECT_FALSE(KeyExists(Hive::CurrentUser, "Software\\Orvane\\A"));
  EXPECT_TRUE(KeyExists(Hive::CurrentUser, "Software\\Orvane"));
  Result missing = Reg({"delete", key + "\\A"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.out.find("not found"), std::string::npos) << missing.out;
  EXPECT_FALSE(KeyExists(Hive::LocalMachine, "Software\\Orvane")) << "the other hive untouched";
}

TEST_F(OrvaneRegTest, BadArgumentsAreRefusedWithUsage) {
  const std::string key = "HKLM\\SOFTWARE\\Test";
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate", key},
      {"query"},
      {"query", "HKXX\\SOFTWARE"},
      {"query", "SOFTWARE\\Orvane"},
      {"add", key, "/v"},
      {"add", key, "/v", "a", "/v", "b"},
      {"add", key, "/v", "n", "/t", "REG_QWORD", "/d", "1"},
      {"add", key, "/v", "n", "/t", "REG_DWORD", "/d", "4294967296"},
      {"add", key, "/v", "n", "/t", "REG_DWORD", "/d", "-1"},
      {"add", key, "/v", "n", "/t", "REG_DWORD", "/d", "12abc"},
      {"add", key, "/v", "n", "/t", "REG_BINARY", "/d", "abc"},
      {"add", key, "/t", "REG_SZ"},
      {"add", key, "stray"},
      {"delete", "HKLM"},
      {"delete", key, "/t", "REG_SZ"},
      {"add", key, "/v", "StreamKey", "/d", "x", "/p"},
      {"add", key, "/p"},
      {"add", key, "/v", "StreamKey", "/p", "/p"},
      {"add", key, "/v", "StreamKey", "/p"},  // no line on the input
      {"query", key, "/p"},
      {"delete", key, "/v", "StreamKey", "/p"},
  };
  for (const auto& args : cases) {
    Result r = Reg(args);
    std::string shown;
    for (const auto& a : args) shown += a + " ";
    EXPECT_EQ(r.status, 2) << shown << "\n" << r.out;
    EXPECT_NE(r.out.find("Usage:"), std::string::npos) << shown;
  }
  EXPECT_FALSE(KeyExists(Hive::LocalMachine, "SOFTWARE\\Test")) << "nothing written";
  Result help = Reg({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("orvane-reg add KEY"), std::string::npos);
}

TEST_F(OrvaneRegTest, FailuresSayWhyAndExitNonZero) {
  Result missing = Reg({"query", "HKLM\\SOFTWARE\\Nothing"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.out.find("ERROR: HKEY_LOCAL_MACHINE\\SOFTWARE\\Nothing"), std::string::npos)
      << missing.out;
  Result bad_path = Reg({"add", "HKLM\\SOFTWARE\\\\Double"});
  EXPECT_EQ(bad_path.status, 1);
  EXPECT_NE(bad_path.out.find("Invalid argument"), std::string::npos) << bad_path.out;
  // A damaged hive file: a clear error, no crash.
  ASSERT_EQ(Reg({"add", "HKLM\\SOFTWARE\\X"}).status, 0);
  testsupport::Run("printf 'garbage%.0s' $(seq 1 800) > '" + HiveFile(Hive::LocalMachine) +
                   "'; rm -f '" + HiveFile(Hive::LocalMachine) + "'-wal '" +
                   HiveFile(Hive::LocalMachine) + "'-shm");
  Result damaged = Reg({"query", "HKLM\\SOFTWARE"});
  EXPECT_EQ(damaged.status, 1);
  EXPECT_NE(damaged.out.find("ERROR:"), std::string::npos) << damaged.out;
}

TEST_F(OrvaneRegTest, TheStreamKeyComesFromTheInputAndIsNeverPrinted) {
  const std::string key = "HKLM\\SOFTWARE\\Orvane\\VARNO\\Parameters";
  const std::string header = "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane\\VARNO\\Parameters\n";
  struct Case { const char* input; const char* stored; const char* shown; };
  const Case cases[] = {
      {"Klasse 7b geheim\\n", "Klasse 7b geheim", "(hidden)"},
      {"mit CR\\r\\n", "mit CR", "(hidden)"},
      {"ohne Zeilenende", "ohne Zeilenende", "(hidden)"},
      {"erste\\nzweite\\n", "erste", "(hidden)"},
      {"\\n", "", ""},  // an empty line: no key
  };
  for (const Case& c : cases) {
    Result add = Reg({"add", key, "/v", "StreamKey", "/p"}, c.input);
    EXPECT_EQ(add.status, 0) << add.out;
    EXPECT_EQ(add.out, "The operation completed successfully.\n");
    char stored[kRegTextBytes] = "<missing>";
    EXPECT_TRUE(GetSettingString("StreamKey", stored, "Parameters"));
    EXPECT_STREQ(stored, c.stored);
    Result one = Reg({"query", key, "streamkey"});
    EXPECT_EQ(one.out, header + "    StreamKey    REG_SZ    " + c.shown + "\n\n");
    Result all = Reg({"query", key});
    EXPECT_EQ(all.status, 0);
    if (*c.stored) {
      EXPECT_EQ(all.out.find(c.stored), std::string::npos) << all.out;
    }
  }
  // Set with /d as any value may be: still not shown, nor repeated in a refusal.
  EXPECT_EQ(Reg({"add", key, "/v", "StreamKey", "/d", "sichtbar"}).status, 0);
  EXPECT_EQ(Reg({"query", key}).out.find("sichtbar"), std::string::npos);
  Result refused = Reg({"add", key, "/v", "StreamKey", "/t", "REG_DWORD", "/p"}, "geheim\\n");
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.out.find("geheim"), std::string::npos) << refused.out;
}

// Start-up rules of the installer: mode selection, folders from the registry, captions, the
// licence text and the integer rule of the port field.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "Common/Registry.h"
#include "setup/SetupApp.h"
#include "setup/SetupState.h"
#include "tests/setup/SetupTestUtil.h"
#include "tests/support/TestSupport.h"

using testsupport::TempDir;

TEST(SetupRules, ModeSelection) {
  struct Case {
    const char* path;
    int arguments;
    bool uninstall;
  } cases[] = {
      {"/pkg/Setup", 0, false},
      {"/pkg/Setup", 1, true},           // one argument, whatever its value
      {"/pkg/Setup", 2, false},
      {"/Uninstallers/Setup", 0, true},  // the text may sit in a folder name
      {"/pkg/uninstall", 0, false},      // the test is case-sensitive
      {"/opt/Orvane VARNO/Uninstall", 1, true},
      {"/opt/Orvane VARNO/Uninstall", 3, true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(IsUninstallMode(c.path, c.arguments), c.uninstall) << c.path << " " << c.arguments;
}

TEST(SetupRules, CaptionAndFolderOfTheProgram) {
  EXPECT_EQ(ProgramCaption("/pkg/Setup"), "Setup");
  EXPECT_EQ(ProgramCaption("/a.b/Uninstall.exe"), "Uninstall");
  EXPECT_EQ(ProgramCaption("/pkg/.hidden"), ".hidden");
  EXPECT_EQ(FolderOfPath("/pkg/Setup"), "/pkg");
  EXPECT_EQ(FolderOfPath("/Setup"), "/");
  EXPECT_EQ(FolderOfPath("Setup"), "Setup");
}

TEST(SetupRules, PortFieldIntegerRule) {
  struct Case {
    std::string text;
    bool valid;
    int value;
  } cases[] = {
      {"5000", true, 5000},
      {" \t12\t ", true, 12},
      {"-1", true, -1},
      {"+7", true, 7},
      {"0", true, 0},
      {"000", true, 0},
      {"2147483647", true, 2147483647},
      {"-2147483648", true, -2147483647 - 1},
      {"-0", false, 0},
      {"+0", false, 0},
      {"12a", false, 0},
      {"1 2", false, 0},
      {"", false, 0},
      {"  ", false, 0},
      {"-", false, 0},
      {"0x10", false, 0},
      {"2147483648", false, 0},
      {"99999999999999999999", false, 0},
      // Only 31 characters are read: junk beyond them does not count.
      {"42" + std::string(29, ' ') + "junk", true, 42},
      {"42" + std::string(28, ' ') + "junk", false, 0},
  };
  for (const Case& c : cases) {
    int value = -12345;
    EXPECT_EQ(ParseDialogInt(c.text, &value), c.valid) << "'" << c.text << "'";
    if (c.valid) {
      EXPECT_EQ(value, c.value) << c.text;
    }
  }
}

TEST(SetupRules, LicenceTextIsReadBlockByBlockUpToZeroBytes) {
  TempDir dir;
  EXPECT_EQ(LoadLicenseText(dir.path()), "") << "no file: empty text, no message";

  const std::string whole(4096, 'w');
  WriteFile(dir / "License.txt", whole);
  EXPECT_EQ(LoadLicenseText(dir.path()), whole) << "exactly one block, name in any case";

  std::string blocks = "abc" + std::string(1, '\0') + "hidden";
  blocks.resize(4096, 'h');
  blocks += "second" + std::string(1, '\0') + "gone";
  WriteFile(dir / "License.txt", blocks);
  EXPECT_EQ(LoadLicenseText(dir.path()), "abcsecond");
}

namespace {
class RegistryFolders : public testing::Test {
 protected:
  void SetUp() override { setenv("ORVANE_REGISTRY", reg.path().c_str(), 1); }
  void TearDown() override { unsetenv("ORVANE_REGISTRY"); }
  static void Set(Hive hive, const char* key, const char* name, const char* text) {
    RegKey k;
    ASSERT_EQ(RegKey::Create(hive, key, "REG_SZ", k), 0);
    ASSERT_EQ(k.SetValue(name, REG_SZ, text, static_cast<uint32_t>(strlen(text) + 1)), 0);
  }
  static void Remove(Hive hive, const char* key, const char* name) {
    RegKey k;
    if (RegKey::Open(hive, key, k) == 0) k.DeleteValue(name);
  }
  TempDir reg;
};
}  // namespace

TEST_F(RegistryFolders, AllUsersMenuWinsOverTheUsersOwn) {
  Set(Hive::LocalMachine, kCurrentVersionKey, "ProgramFilesDir", "/progs");
  Set(Hive::LocalMachine, kShellFoldersKey, "Common Programs", "/all/menu");
  Set(Hive::CurrentUser, kShellFoldersKey, "Programs", "/my/menu");
  ASSERT_TRUE(InitSetupFolders("/pkg/Setup"));
  EXPECT_EQ(g_source_folder, "/pkg");
  EXPECT_EQ(g_program_files, "/progs");
  EXPECT_EQ(g_options.install_folder, "/progs/Orvane VARNO");
  EXPECT_EQ(g_default_install_folder, "/progs/Orvane VARNO");
  EXPECT_EQ(g_programs, "/all/menu");

  Remove(Hive::LocalMachine, kShellFoldersKey, "Common Programs");
  ASSERT_TRUE(InitSetupFolders("/pkg/Setup"));
  EXPECT_EQ(g_programs, "/my/menu");

  Remove(Hive::CurrentUser, kShellFoldersKey, "Programs");
  Remove(Hive::LocalMachine, kCurrentVersionKey, "ProgramFilesDir");
  ASSERT_TRUE(InitSetupFolders("/pkg/Setup"));
  EXPECT_EQ(g_programs, "");
  EXPECT_EQ(g_options.install_folder, "/Orvane VARNO");
}

TEST_F(RegistryFolders, MissingCurrentVersionKeyEndsStartUp) {
  Set(Hive::LocalMachine, kCurrentVersionKey, "ProgramFilesDir", "/progs");
  ASSERT_TRUE(DeleteKeyTree(kCurrentVersionKey));
  EXPECT_FALSE(InitSetupFolders("/pkg/Setup"));
}

TEST(SetupRules, UninstallCommandIsStoredWhole) {
  const std::string folder = "/" + std::string(249, 'f');
  EXPECT_EQ(UninstallCommand(folder), "\"" + folder + "/Uninstall\" -uninstall");
}

// Whole install and uninstall runs through a scripted user interface: what is installed, the
// uninstall log's order, the registry values, the shortcuts, and what the uninstaller leaves.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "Common/Log.h"
#include "Common/Registry.h"
#include "platform/ExePath.h"
#include "setup/RemoveApp.h"
#include "setup/SetupApp.h"
#include "setup/SetupState.h"
#include "tests/setup/FakeUi.h"
#include "tests/setup/SetupTestUtil.h"
#include "tests/support/TestSupport.h"

using testsupport::TempDir;

namespace {
const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvane VARNO";

class Wizard : public testing::Test {
 protected:
  void SetUp() override {
    umask(022);
    setenv("ORVANE_REGISTRY", (root / "reg").c_str(), 1);
    for (const char* d : {"pkg", "opt", "menu", "usermenu"}) mkdir((root / d).c_str(), 0755);
    WriteFile(pkg("glimt"), "viewer program", 0755);
    WriteFile(pkg("libhooks.so"), std::string(70000, 'h'), 0755);
    WriteFile(pkg("varno"), "server program", 0755);
    WriteFile(pkg("License.txt"), "licence");
    WriteFile(pkg("Readme.txt"), "readme");
    WriteFile(pkg("Setup"), "installer", 0755);
    SetText(Hive::LocalMachine, kCurrentVersionKey, "ProgramFilesDir", root / "opt");
    SetText(Hive::LocalMachine, kShellFoldersKey, "Common Programs", root / "menu");
    SetText(Hive::CurrentUser, kShellFoldersKey, "Programs", root / "usermenu");
    ASSERT_TRUE(InitSetupFolders(pkg("Setup")));
    ResetSetupOptions();
    I = root / "opt/Orvane VARNO";
    G = root / "menu/Orvane VARNO";
  }
  void TearDown() override {
    g_log.CloseLog();
    ResetSetupOptions();
    unsetenv("ORVANE_REGISTRY");
  }
  std::string pkg(const std::string& name) const { return root / "pkg/" + name; }
  void Uninstall(FakeUi& ui) {
    SetExecutablePathForTest(I + "/Uninstall");
    RunUninstall(ui);
    SetExecutablePathForTest(pkg("Setup"));
  }

  TempDir root;
  std::string I, G;
};
}  // namespace

TEST_F(Wizard, FullInstallationAndItsRemoval) {
  FakeUi ui;
  ui.on_multicast = [](SetupOptions& o) {
    o.multicast_target = "239.1.2.3";
    o.multicast_port = 5000;
    o.stream_key = "Klasse 7b";
  };
  RunSetupWizard(ui);
  EXPECT_EQ(ui.pages, (std::vector<std::string>{"license", "folder", "components", "multicast",
                                                "finish"}));
  EXPECT_EQ(ui.waits, (std::vector<int>{500, 2000}));
  EXPECT_FALSE(ui.copy_window_open);

  const std::vector<LogRecord> expected = {
      {'F', I + "/glimt", ""},
      {'F', I + "/libhooks.so", ""},
      {'F', I + "/varno", ""},
      {'F', I + "/License.txt", ""},
      {'F', I + "/Readme.txt", ""},
      {'D', I, ""},
      {'F', I + "/Uninstall", ""},
      {'D', I, ""},
      {'R', "SOFTWARE\\Orvane\\VARNO", ""},
      {'F', G + "/Uninstall VARNO.desktop", ""},
      {'F', G + "/GLIMT (client).desktop", ""},
      {'F', G + "/VARNO (server).desktop", ""},
      {'D', G, ""},
      {'R', kUninstallKey, ""},
  };
  EXPECT_EQ(ReadLog(I), expected);

  // Total 70000 + small files: the range is the whole KiB of the total.
  const uint64_t total = 14 + 70000 + 14 + 7 + 6 + 9;
  EXPECT_EQ(ui.progress.range, total / 1024);
  EXPECT_EQ(ui.progress.positions, std::vector<uint32_t>{0});
  EXPECT_EQ(ReadFile(I + "/Uninstall"), "installer");
  EXPECT_EQ(ModeOf(I + "/Uninstall"), 0755u);
  EXPECT_EQ(ModeOf(I + "/varno"), 0755u);
  EXPECT_EQ(ModeOf(I + "/License.txt"), 0644u);

  EXPECT_EQ(GetText("SOFTWARE\\Orvane\\VARNO\\Parameters", "MulticastTarget"), "239.1.2.3:5000");
  EXPECT_EQ(GetText("SOFTWARE\\Orvane\\VARNO\\Parameters", "StreamKey"), "Klasse 7b");
  EXPECT_EQ(GetText(kUninstallKey, "DisplayName"), "Orvane VARNO");
  EXPECT_EQ(GetText(kUninstallKey, "UninstallString"), "\"" + I + "/Uninstall\" -uninstall");
  EXPECT_EQ(ReadFile(G + "/VARNO (server).desktop"),
            "[Desktop Entry]\nType=Application\nVersion=1.0\nName=VARNO (server)\n"
            "Exec=\"" + I + "/varno\"\nTerminal=false\n");
  EXPECT_EQ(ModeOf(G + "/GLIMT (client).desktop"), 0644u);
  EXPECT_FALSE(Exists(root / "usermenu/Orvane VARNO")) << "the all-users menu is taken";

  WriteFile(g_default_install_folder + "/Orvane VARNO.log", "leftover");
  FakeUi remover;
  Uninstall(remover);
  EXPECT_EQ(remover.pages, std::vector<std::string>{"remove"});
  EXPECT_EQ(remover.waits, std::vector<int>{2000});
  EXPECT_TRUE(remover.warnings.empty());
  for (const LogRecord& r : expected) {
    if (r.type == 'F') {
      EXPECT_FALSE(Exists(r.first)) << r.first;
    }
  }
  EXPECT_FALSE(Exists(G));
  EXPECT_FALSE(Exists(g_default_install_folder + "/Orvane VARNO.log"));
  EXPECT_TRUE(Exists(I + "/Uninstall.log"));
  EXPECT_TRUE(Exists(I));
  EXPECT_FALSE(KeyExists("SOFTWARE\\Orvane\\VARNO"));
  EXPECT_FALSE(KeyExists(kUninstallKey));
  EXPECT_TRUE(KeyExists("SOFTWARE\\Orvane"));
  EXPECT_TRUE(KeyExists(kCurrentVersionKey));
}

TEST_F(Wizard, BothComponentsCleared) {
  FakeUi ui;
  ui.on_components = [](SetupOptions& o) { o.install_server = o.install_viewer = 0; };
  RunSetupWizard(ui);
  EXPECT_EQ(ui.pages, (std::vector<std::string>{"license", "folder", "components", "finish"}));
  std::string listing;
  testsupport::Run("LC_ALL=C ls -A '" + I + "'", &listing);
  EXPECT_EQ(listing, "License.txt\nReadme.txt\nUninstall\nUninstall.log\n");
  testsupport::Run("LC_ALL=C ls -A '" + G + "'", &listing);
  EXPECT_EQ(listing, "Uninstall VARNO.desktop\n");
  EXPECT_EQ(GetText("SOFTWARE\\Orvane\\VARNO\\Parameters", "MulticastTarget"), "227.0.0.1:10510");
  EXPECT_EQ(GetText("SOFTWARE\\Orvane\\VARNO\\Parameters", "StreamKey"), "<missing>")
      << "no key typed: none written";
  EXPECT_EQ(ReadLog(I).size(), 9u);
}

TEST_F(Wizard, ClientOnlySkipsTheMulticastPage) {
  FakeUi ui;
  ui.on_components = [](SetupOptions& o) { o.install_server = 0; };
  RunSetupWizard(ui);
  EXPECT_EQ(ui.pages, (std::vector<std::string>{"license", "folder", "components", "finish"}));
  EXPECT_TRUE(Exists(I + "/glimt"));
  EXPECT_FALSE(Exists(I + "/varno"));
  EXPECT_FALSE(Exists(I + "/libhooks.so"));
  EXPECT_EQ(GetText("SOFTWARE\\Orvane\\VARNO\\Parameters", "MulticastTarget"), "227.0.0.1:10510");
}

TEST_F(Wizard, ARunEndedAtAPageWritesNothing) {
  for (int page = 0; page < 4; ++page) {
    FakeUi ui;
    ui.license = page != 0;
    ui.folder = page != 1;
    ui.components = page != 2;
    ui.multicast = page != 3;
    RunSetupWizard(ui);
    EXPECT_EQ(ui.pages.size(), static_cast<std::size_t>(page + 1));
    EXPECT_FALSE(Exists(root / "opt/Orvane VARNO")) << page;
    EXPECT_FALSE(Exists(G)) << page;
    EXPECT_FALSE(KeyExists("SOFTWARE\\Orvane")) << page;
    EXPECT_FALSE(KeyExists(kUninstallKey)) << page;
    ResetSetupOptions();
  }
}

TEST_F(Wizard, LongInstallFolderKeepsItsUninstallStringWhole) {
  std::string folder = root.path();
  while (folder.size() < 250) folder += "/long-install-folder";
  folder.resize(250);
  FakeUi ui;
  ui.on_folder = [&](SetupOptions& o) { o.install_folder = folder; };
  RunSetupWizard(ui);
  EXPECT_EQ(GetText(kUninstallKey, "UninstallString"), "\"" + folder + "/Uninstall\" -uninstall");
}

TEST_F(Wizard, FailedCopyKeepsTheRecordsOfWhatWasDone) {
  // The third program file cannot be replaced: the run ends with FatalError.
  MakeFolderPath(I);
  WriteFile(I + "/varno", "older read-only copy", 0444);
  EXPECT_EXIT(
      {
        FakeUi ui;
        SetFatalErrorHook(&SaveWorkOnFatalError);
        RunSetupWizard(ui);
      },
      testing::ExitedWithCode(1), "varno");
  std::string listing;
  testsupport::Run("LC_ALL=C ls -A '" + I + "'", &listing);
  EXPECT_EQ(listing, "Uninstall.log\nglimt\nlibhooks.so\nvarno\n") << "no temporary file left";
  const auto records = ReadLog(I);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].first, I + "/glimt");
  EXPECT_EQ(records[1].first, I + "/libhooks.so");

  FakeUi remover;
  Uninstall(remover);
  EXPECT_FALSE(Exists(I + "/glimt"));
  EXPECT_FALSE(Exists(I + "/libhooks.so"));
  EXPECT_EQ(ReadFile(I + "/varno"), "older read-only copy");
}

TEST_F(Wizard, InstallerUnderAnotherNameStopsAtTheSizePass) {
  ASSERT_EQ(rename(pkg("Setup").c_str(), pkg("Installer").c_str()), 0);
  FakeUi ui;
  EXPECT_EXIT(RunSetupWizard(ui), testing::ExitedWithCode(1), "pkg/Setup");
  EXPECT_TRUE(Exists(I + "/Uninstall.log"));
  EXPECT_EQ(ReadFile(I + "/Uninstall.log"), "");
  EXPECT_FALSE(Exists(I + "/glimt"));
}

TEST_F(Wizard, ReinstallingRecreatesTheLog) {
  FakeUi first, second;
  RunSetupWizard(first);
  ResetSetupOptions();
  WriteFile(pkg("glimt"), "newer viewer", 0755);
  RunSetupWizard(second);
  EXPECT_EQ(ReadLog(I).size(), 14u);
  EXPECT_EQ(ReadFile(I + "/glimt"), "newer viewer");
}

TEST_F(Wizard, UninstallWithoutALogRemovesNothing) {
  FakeUi ui;
  RunSetupWizard(ui);
  FakeUi remover;
  SetExecutablePathForTest(root / "elsewhere/Uninstall");
  RunUninstall(remover);
  SetExecutablePathForTest(pkg("Setup"));
  ASSERT_EQ(remover.warnings.size(), 1u);
  EXPECT_EQ(remover.warnings[0],
            "The log file needed for the uninstallation of Orvane VARNO can not be found.\n\n"
            "The uninstall program will now terminate");
  EXPECT_FALSE(remover.remove_window_open);
  EXPECT_TRUE(Exists(I + "/glimt"));
  EXPECT_TRUE(KeyExists(kUninstallKey));
}

TEST_F(Wizard, UninstallCancelledChangesNothing) {
  FakeUi ui;
  RunSetupWizard(ui);
  FakeUi remover;
  remover.remove = false;
  Uninstall(remover);
  EXPECT_TRUE(Exists(I + "/glimt"));
  EXPECT_TRUE(Exists(G));
  EXPECT_TRUE(KeyExists("SOFTWARE\\Orvane\\VARNO\\Parameters"));
}

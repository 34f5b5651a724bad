// The install item tree: its path rules, the copy with its progress steps, permissions,
// replacement of existing files, and the fatal ends.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Common/Log.h"
#include "platform/FileReplace.h"
#include "setup/Install.h"
#include "setup/SetupState.h"
#include "tests/setup/FakeUi.h"
#include "tests/setup/SetupTestUtil.h"
#include "tests/support/TestSupport.h"

using testsupport::TempDir;

namespace {
class InstallTest : public testing::Test {
 protected:
  void SetUp() override {
    umask(022);
    g_source_folder = src.path();
    g_default_install_folder = dst / "I";
    ResetSetupOptions();
  }
  void TearDown() override {
    g_log.CloseLog();
    ResetSetupOptions();
  }
  // Installs one file through a folder item, as the installer's passes do.
  std::vector<LogRecord> InstallOne(const std::string& name, RecordingProgress& progress) {
    g_log.CreateLog(dst.path());
    g_options.AddFolder(dst / "I");
    g_options.AddFile(name, 1);
    g_options.items.back()->Install(progress);
    g_log.CloseLog();
    return ReadLog(dst.path());
  }
  TempDir src, dst;
};
}  // namespace

TEST_F(InstallTest, SourceAndDestinationPathRules) {
  g_source_folder = "/pkg";
  InstallFolder* top = g_options.AddFolder("/I");
  InstallFile* plain = g_options.AddFile("glimt", 1);
  InstallFile* renamed = g_options.AddFileAs("Setup", "Uninstall");
  EXPECT_EQ(top->SourcePath(), "/pkg");
  EXPECT_EQ(top->DestinationPath(), "/I");
  EXPECT_EQ(plain->SourcePath(), "/pkg/glimt");
  EXPECT_EQ(plain->DestinationPath(), "/I/glimt");
  EXPECT_EQ(renamed->SourcePath(), "/pkg/Setup");
  EXPECT_EQ(renamed->DestinationPath(), "/I/Uninstall");
  EXPECT_EQ(renamed->logged(), 1);

  // An empty source folder gives the bare name; an empty destination still gets its '/'.
  g_source_folder = "";
  g_options.AddFolder("");
  InstallFile* bare = g_options.AddFile("a", 0);
  EXPECT_EQ(bare->SourcePath(), "a");
  EXPECT_EQ(bare->DestinationPath(), "/a");
  EXPECT_EQ(bare->logged(), 0);

  // A top-level folder with a target name goes there instead of its name.
  g_options.AddFolder("/named")->set_target_name("/other");
  EXPECT_EQ(g_options.AddFile("b", 1)->DestinationPath(), "/other/b");
}

TEST_F(InstallTest, ProgressAdvancesByTheWholeKibOfEachChunk) {
  struct Case {
    std::size_t size;
    std::vector<uint32_t> deltas;
  } cases[] = {
      {0, {}},
      {1023, {0}},
      {1024, {1}},
      {32768, {32}},
      {70000, {32, 32, 4}},
  };
  for (const Case& c : cases) {
    const std::string data(c.size, 'z');
    WriteFile(src / "f", data);
    RecordingProgress progress;
    const auto records = InstallOne("f", progress);
    EXPECT_EQ(progress.deltas, c.deltas) << c.size;
    EXPECT_EQ(ReadFile(dst / "I/f"), data) << c.size;
    ASSERT_EQ(progress.lines.size(), 1u);
    EXPECT_EQ(progress.lines[0], src / "f" + " -> " + dst / "I/f");
    // Even an empty file is logged; the folder's record follows its files.
    ASSERT_EQ(records.size(), 2u) << c.size;
    EXPECT_EQ(records[0], (LogRecord{'F', dst / "I/f", ""}));
    EXPECT_EQ(records[1], (LogRecord{'D', dst / "I", ""}));
    ResetSetupOptions();
  }
}

TEST_F(InstallTest, FolderSizeSumsItsFiles) {
  WriteFile(src / "a", std::string(70000, 'a'));
  WriteFile(src / "b", std::string(5, 'b'));
  g_options.AddFolder(dst / "I");
  g_options.AddFile("a", 1);
  g_options.AddFile("b", 1);
  EXPECT_EQ(g_options.items[0]->GetSize(), 70005u);
}

TEST_F(InstallTest, ProgramsKeepTheirRunPermission) {
  struct Case {
    mode_t source;
    mode_t expected;
  } cases[] = {{0755, 0755}, {0700, 0755}, {0744, 0755}, {0644, 0644}, {0600, 0644}};
  for (const Case& c : cases) {
    WriteFile(src / "p", "#!/bin/sh\n", c.source);
    RecordingProgress progress;
    InstallOne("p", progress);
    EXPECT_EQ(ModeOf(dst / "I/p"), c.expected) << std::oct << c.source;
    ResetSetupOptions();
  }
}

TEST_F(InstallTest, ExistingFilesAndLinksAreReplacedNotFollowed) {
  mkdir((dst / "I").c_str(), 0755);
  WriteFile(dst / "I/old", "old content");
  WriteFile(dst / "victim", "victim");
  symlink((dst / "victim").c_str(), (dst / "I/link").c_str());
  WriteFile(src / "old", "new");
  WriteFile(src / "link", "new link");
  RecordingProgress progress;
  g_log.CreateLog(dst.path());
  g_options.AddFolder(dst / "I");
  g_options.AddFile("old", 1);
  g_options.AddFile("link", 1);
  g_options.items.back()->Install(progress);
  EXPECT_EQ(ReadFile(dst / "I/old"), "new");
  EXPECT_EQ(ReadFile(dst / "I/link"), "new link");
  EXPECT_FALSE(IsLink(dst / "I/link")) << "the link itself is replaced";
  EXPECT_EQ(ReadFile(dst / "victim"), "victim");
}

TEST_F(InstallTest, InstallingOntoTheSourceKeepsTheSource) {
  WriteFile(src / "same", std::string(50000, 's'));
  g_log.CreateLog(dst.path());
  g_options.AddFolder(src.path());
  g_options.AddFile("same", 1);
  RecordingProgress progress;
  g_options.items.back()->Install(progress);
  EXPECT_EQ(ReadFile(src / "same"), std::string(50000, 's'));
}

TEST_F(InstallTest, ReadOnlyDestinationEndsTheRunWithoutLeftovers) {
  mkdir((dst / "I").c_str(), 0755);
  WriteFile(dst / "I/ro", "original", 0444);
  WriteFile(src / "ro", "replacement");
  RecordingProgress progress;
  EXPECT_EXIT(InstallOne("ro", progress), testing::ExitedWithCode(1), "/I/ro");
  EXPECT_EQ(ReadFile(dst / "I/ro"), "original");
  std::string listing;
  testsupport::Run("LC_ALL=C ls -A '" + dst / "I" + "'", &listing);
  EXPECT_EQ(listing, "ro\n") << "no temporary file is left behind";
}

TEST_F(InstallTest, FatalErrorRemovesAPartlyWrittenFile) {
  mkdir((dst / "I").c_str(), 0755);
  EXPECT_EXIT(
      {
        SetFatalErrorHook(&AbortOpenReplacements);
        FileReplace file;
        file.Open(dst / "I/partial", 0644);
        file.Write("half", 4);
        FatalError("disk full", "tests/setup", 1);
      },
      testing::ExitedWithCode(1), "disk full");
  std::string listing;
  testsupport::Run("LC_ALL=C ls -A '" + dst / "I" + "'", &listing);
  EXPECT_EQ(listing, "");
}

TEST_F(InstallTest, MissingPackageFileEndsTheSizePass) {
  g_options.AddFolder(dst / "I");
  g_options.AddFile("absent", 1);
  EXPECT_EXIT(g_options.items[0]->GetSize(), testing::ExitedWithCode(1), "absent");
}

TEST_F(InstallTest, MakeFolderPathCreatesMissingParents) {
  MakeFolderPath(dst / "a/b/c");
  EXPECT_TRUE(Exists(dst / "a/b/c"));
  MakeFolderPath(dst / "a/b/c");  // again: nothing to do
  MakeFolderPath(dst / "t/u/");   // a trailing '/' is no failure
  EXPECT_TRUE(Exists(dst / "t/u"));
  MakeFolderPath("/");
  char old[4096];
  ASSERT_TRUE(getcwd(old, sizeof old));
  ASSERT_EQ(chdir(dst.path().c_str()), 0);
  MakeFolderPath("relative");  // no '/': nothing at all is done
  ASSERT_EQ(chdir(old), 0);
  EXPECT_FALSE(Exists(dst / "relative"));
}

TEST_F(InstallTest, MakeFolderPathFailsBelowAFile) {
  WriteFile(dst / "file", "");
  EXPECT_EXIT(MakeFolderPath(dst / "file/sub"), testing::ExitedWithCode(1), "file/sub");
}

TEST_F(InstallTest, PackageFilesMatchWithoutRegardToCase) {
  WriteFile(src / "License.txt", "L");
  WriteFile(src / "readme.TXT", "R");
  WriteFile(src / "README.txt", "R2");
  struct Case {
    const char* asked;
    const char* found;
  } cases[] = {
      {"License.txt", "License.txt"},
      {"license.txt", "License.txt"},
      {"Readme.txt", "README.txt"},  // first match in byte order
      {"readme.TXT", "readme.TXT"},  // the exact name wins
      {"absent", "absent"},
  };
  for (const Case& c : cases) EXPECT_EQ(FindPackageFile(src / c.asked), src / c.found) << c.asked;
}

TEST_F(InstallTest, DeepPackageAndInstallFoldersAreNotCut) {
  std::string deep_src = src.path(), deep_dst = dst.path();
  while (deep_src.size() < 300) deep_src += "/package-folder-level";
  while (deep_dst.size() < 300) deep_dst += "/install-folder-level";
  MakeFolderPath(deep_src);
  WriteFile(deep_src + "/f", "deep");
  g_source_folder = deep_src;
  g_log.CreateLog(dst.path());
  g_options.AddFolder(deep_dst);
  g_options.AddFile("f", 1);
  RecordingProgress progress;
  MakeFolderPath(deep_dst);
  g_options.items[0]->Install(progress);
  g_log.CloseLog();
  EXPECT_EQ(ReadFile(deep_dst + "/f"), "deep");
  const auto records = ReadLog(dst.path());
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].first, deep_dst + "/f");
}

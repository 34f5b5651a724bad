// The installer's platform pieces: .desktop launchers and file replacement.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/FileReplace.h"
#include "platform/LastError.h"
#include "platform/ShellLink.h"
#include "tests/setup/SetupTestUtil.h"
#include "tests/support/TestSupport.h"

using testsupport::TempDir;

TEST(DesktopEntry, ExecQuotesAndEscapesTheTarget) {
  struct Case {
    const char* target;
    const char* exec;
  } cases[] = {
      {"/opt/Orvane VARNO/glimt", "\"/opt/Orvane VARNO/glimt\""},
      {"/a\"b", "\"/a\\\\\"b\""},
      {"/a$b`c", "\"/a\\\\$b\\\\`c\""},
      {"/a\\b", "\"/a\\\\\\\\b\""},
      {"/100%", "\"/100%%\""},
  };
  for (const Case& c : cases) EXPECT_EQ(DesktopExecValue(c.target), c.exec) << c.target;
  EXPECT_EQ(DesktopStringValue("a\nb\\c"), "a\\nb\\\\c");
}

TEST(DesktopEntry, WritesALauncherNamedAfterTheLink) {
  TempDir dir;
  ASSERT_TRUE(CreateDesktopEntry(dir / "GLIMT (client).desktop", "/opt/x/glimt", ""));
  EXPECT_EQ(ReadFile(dir / "GLIMT (client).desktop"),
            "[Desktop Entry]\nType=Application\nVersion=1.0\nName=GLIMT (client)\n"
            "Exec=\"/opt/x/glimt\"\nTerminal=false\n");
  ASSERT_TRUE(CreateDesktopEntry(dir / "a.desktop", "/p", "-x"));
  EXPECT_NE(ReadFile(dir / "a.desktop").find("Exec=\"/p\" -x\n"), std::string::npos);
  EXPECT_FALSE(CreateDesktopEntry(dir / "missing/b.desktop", "/p", ""));
}

TEST(FileReplace, CommitAbortAndReadOnlyDestinations) {
  TempDir dir;
  {
    FileReplace file;
    ASSERT_TRUE(file.Open(dir / "f", 0644));
    ASSERT_TRUE(file.Write("new", 3));
    EXPECT_FALSE(Exists(dir / "f")) << "nothing at the destination before the commit";
    ASSERT_TRUE(file.Commit());
    EXPECT_EQ(ReadFile(dir / "f"), "new");
  }
  {
    FileReplace file;
    ASSERT_TRUE(file.Open(dir / "f", 0644));
    const std::string temp = file.temp_path();
    file.Write("abandoned", 9);
    file.Abort();
    EXPECT_FALSE(Exists(temp));
    EXPECT_EQ(ReadFile(dir / "f"), "new");
  }
  {
    FileReplace file;
    ASSERT_TRUE(file.Open(dir / "dropped", 0644));
  }  // destroyed uncommitted
  EXPECT_FALSE(Exists(dir / "dropped"));
  {
    const std::string longest(255, 'n');  // NAME_MAX: the temporary name must still fit
    FileReplace file;
    ASSERT_TRUE(file.Open(dir / longest, 0644));
    ASSERT_TRUE(file.Commit());
    EXPECT_TRUE(Exists(dir / longest));
    unlink((dir / longest).c_str());
  }
  WriteFile(dir / "ro", "keep", 0444);
  FileReplace ro;
  EXPECT_FALSE(ro.Open(dir / "ro", 0644));
  EXPECT_EQ(GetLastError(), EACCES);
  std::string listing;
  testsupport::Run("LC_ALL=C ls -A '" + dir.path() + "'", &listing);
  EXPECT_EQ(listing, "f\nro\n");
}

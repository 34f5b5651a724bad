// Folder creation with its reports, and the file search of the uninstaller.
#include <fcntl.h>

#include "Common/Helper.h"
#include "tests/registry/RegistryTestUtil.h"

namespace {
bool IsFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
void Touch(const std::string& path) { close(open(path.c_str(), O_CREAT | O_WRONLY, 0644)); }
}  // namespace

TEST_F(RegistryTest, CreateDirectoryTreeMakesEveryMissingLevelOnce) {
  const std::string top = temp_ / "A";
  ASSERT_TRUE(CreateDirectoryTree((top + "/B/C").c_str()));
  EXPECT_TRUE(IsFolder(top));
  EXPECT_TRUE(IsFolder(top + "/B"));
  EXPECT_TRUE(IsFolder(top + "/B/C"));
  EXPECT_EQ(LogText(), "") << "success reports nothing";
  // Again: true at once; a marker inside shows nothing was re-made.
  Touch(top + "/B/C/marker");
  EXPECT_TRUE(CreateDirectoryTree((top + "/B/C").c_str()));
  EXPECT_EQ(access((top + "/B/C/marker").c_str(), F_OK), 0);
  // From the root, where the cut leaves an empty parent.
  EXPECT_TRUE(CreateDirectoryTree("/"));
  EXPECT_TRUE(CreateDirectoryTree("/tmp"));
  // A file of that name counts as existing.
  Touch(temp_ / "file");
  EXPECT_TRUE(CreateDirectoryTree((temp_ / "file").c_str()));
  EXPECT_FALSE(IsFolder(temp_ / "file"));
  EXPECT_EQ(LogText(), "");
}

TEST_F(RegistryTest, CreateDirectoryTreeFailuresReportAtEveryLevel) {
  Touch(temp_ / "plain");
  struct Case {
    std::string path;
    int p_reports;  // "ASSERT(p) failed"
    int b_reports;  // "ASSERT(b) failed"
    int error;      // last error on return
    bool made;      // the path without its trailing '/' exists afterwards
  } cases[] = {
      // The trailing '/': the parent step makes X/Y, then making "X/Y/" meets it.
      {temp_ / "X/Y/", 0, 1, EEXIST, true},
      {"relative-name-that-does-not-exist", 1, 0, ENOENT, false},
      {"", 1, 0, ENOENT, false},
      {"rel/sub/deeper", 1, 2, ENOENT, false},
      // Below a plain file: the deepest level fails, then each level above it says "b".
      {temp_ / "plain/a/b", 0, 2, ENOTDIR, false},
  };
  for (const Case& c : cases) {
    const std::string before = LogText();
    SetLastError(0);
    EXPECT_FALSE(CreateDirectoryTree(c.path.c_str())) << c.path;
    EXPECT_EQ(GetLastError(), c.error) << c.path;
    const std::string log = LogText().substr(before.size());
    EXPECT_EQ(Count(log, "ASSERT(p) failed"), c.p_reports) << c.path << "\n" << log;
    EXPECT_EQ(Count(log, "ASSERT(b) failed"), c.b_reports) << c.path << "\n" << log;
    EXPECT_EQ(Count(log, "in module [Common/Helper:"), c.p_reports + c.b_reports) << log;
    std::string trimmed = c.path;
    if (!trimmed.empty() && trimmed.back() == '/') trimmed.pop_back();
    if (!trimmed.empty()) {
      EXPECT_EQ(IsFolder(trimmed), c.made) << c.path;
    }
  }
  EXPECT_FALSE(CreateDirectoryTree(nullptr));
}

TEST_F(RegistryTest, FileExistsMatchesNamesPatternsAndFolders) {
  const std::string d = temp_.path();
  ASSERT_EQ(mkdir((d + "/Program Files").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((d + "/empty").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((d + "/folder.d").c_str(), 0755), 0);
  Touch(d + "/Program Files/varno.exe");
  Touch(d + "/Program Files/.hidden.cfg");
  Touch(d + "/name[1].txt");
  Touch(d + "/back\\slash");
  Touch(d + "/star*name");
  ASSERT_EQ(symlink((d + "/gone").c_str(), (d + "/dangling").c_str()), 0);
  struct Case {
    std::string pattern;
    bool found;
  } cases[] = {
      {d + "/Program Files/varno.exe", true},
      {d + "/Program Files/*.exe", true},
      {d + "/Program Files/*.dll", false},
      {d + "/Program Files/varno.ex?", true},
      {d + "/Program Files/*.cfg", true},  // dot files are not hidden from a search
      {d + "/Program Files", true},        // folders match too
      {d + "/folder.*", true},
      {d + "/empty/*", false},             // "." and ".." are not contents
      {d + "/empty/.", true},
      {d + "/name[1].txt", true},          // brackets are plain characters
      {d + "/name[1]*", true},
      {d + "/name1.txt", false},
      {d + "/name?1?.txt", true},
      {d + "/back\\slash", true},
      {d + "/back\\*", true},
      {d + "/star*name", true},
      {d + "/dangling", true},             // a link is found as a link
      {d + "/missing", false},
      {d + "/missing/*.exe", false},
      {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(FileExists(c.pattern.c_str()), c.found) << c.pattern;
  EXPECT_FALSE(FileExists(nullptr));
  EXPECT_EQ(LogText(), "") << "FileExists never reports";
}

#pragma once
// Shared by the registry tests: every test gets its own registry folder and log folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "platform/ExePath.h"
#include "platform/LastError.h"
#include "platform/RegistryHive.h"
#include "tests/support/TestSupport.h"

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(temp_.path().empty());
    registry_ = temp_ / "registry";
    setenv("ORVANE_REGISTRY", registry_.c_str(), 1);
    // Failed-check reports go to the log beside the executable: keep them in this test's folder.
    SetExecutablePathForTest(temp_ / "prog");
  }
  void TearDown() override { unsetenv("ORVANE_REGISTRY"); }

  // Everything the log files of this test's fake executable hold.
  std::string LogText() const {
    std::string all, out;
    testsupport::Run("cat '" + temp_.path() + "'/prog-*.log 2>/dev/null", &out);
    return out;
  }
  static int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }
  static bool KeyExists(Hive hive, const std::string& path) {
    RegKey k;
    return RegKey::Open(hive, path, k) == 0;
  }

  testsupport::TempDir temp_;
  std::string registry_;
};

// Runs body in a child process (as user nobody when this process is root, so that file modes
// are enforced) and returns its exit status; body's result true means exit 0.
inline int InChild(const std::function<bool()>& body, bool as_nobody = false) {
  pid_t pid = fork();
  if (pid == 0) {
    if (as_nobody && geteuid() == 0) {
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
    }
    _exit(body() ? 0 : 1);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Rules the sources keep: the platform layer knows nothing of the layers above it (no source in
// platform/ includes a header of Common/, the programs or the hook library, and no platform
// target links them), and comments describe the code as it is, not a model it came from.
#include <gtest/gtest.h>
#include <glob.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace {
std::vector<std::string> Files(const std::string& pattern) {
  std::vector<std::string> files;
  glob_t found{};
  if (glob(pattern.c_str(), 0, nullptr, &found) == 0) {
    for (std::size_t i = 0; i < found.gl_pathc; ++i) files.push_back(found.gl_pathv[i]);
  }
  globfree(&found);
  return files;
}

std::string Text(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}
}  // namespace

TEST(PlatformLayering, NoIncludeOrLinkReachesTheLayersAbove) {
  const std::string platform = testsupport::SourceDir() + "/platform/";
  const std::regex upward_include(R"(#\s*include\s*"(Common|server|glimt|setup|hooks|tools)/)");
  const std::regex upward_link(
      R"(target_link_libraries\s*\([^)]*\b(Common|server_engine|varno_app|glimt_core|setup_core|hooks)\b)");
  std::size_t sources = 0;
  for (const char* pattern : {"*.h", "*.cpp"}) {
    for (const std::string& file : Files(platform + pattern)) {
      ++sources;
      std::istringstream lines(Text(file));
      std::string line;
      for (int n = 1; std::getline(lines, line); ++n)
        EXPECT_FALSE(std::regex_search(line, upward_include)) << file << ":" << n << ": " << line;
    }
  }
  EXPECT_GT(sources, 20u) << "the platform sources were not found under " << platform;
  std::size_t scripts = 0;
  for (const char* pattern : {"CMakeLists.txt", "*.cmake"}) {
    for (const std::string& file : Files(platform + pattern)) {
      ++scripts;
      EXPECT_FALSE(std::regex_search(Text(file), upward_link)) << file;
    }
  }
  EXPECT_GT(scripts, 1u);
}

TEST(SourceWording, CommentsDescribeTheCodeItself) {
  const std::regex original(R"((//|/\*|^\s*\*|<!--|^\s*#).*\boriginal\b)", std::regex::icase);
  std::size_t files = 0;
  for (const char* folder : {"platform", "Common", "server", "hooks", "glimt", "setup", "tools",
                             "tests", "fuzz", "bench", "scripts"}) {
    for (const char* pattern : {"/*.h", "/*.cpp", "/*.ui", "/*.cmake", "/CMakeLists.txt",
                                "/*.sh", "/*/*.h", "/*/*.cpp", "/*/*.sh"}) {
      for (const std::string& file : Files(testsupport::SourceDir() + "/" + folder + pattern)) {
        ++files;
        std::istringstream lines(Text(file));
        std::string line;
        for (int n = 1; std::getline(lines, line); ++n)
          EXPECT_FALSE(std::regex_search(line, original)) << file << ":" << n << ": " << line;
      }
    }
  }
  EXPECT_GT(files, 100u);
}

// Rules the sources keep: the platform layer knows nothing of the layers above it (no source in
// platform/ includes a header of Common/, the programs or the hook library, and no platform
// target links them), and comments describe the code as it is, not a model it came from.
#include <gtest/gtest.h>
#include <glob.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <set>
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

std::vector<std::string> Lines(const std::string& path) {
  std::vector<std::string> lines;
  std::istringstream in(Text(path));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The folder of a quoted #include ("Common/Log.h" -> "Common"), or "" for any other line.
std::string IncludedFolder(const std::string& line) {
  std::istringstream in(line);
  std::string hash, rest;
  in >> hash;
  if (hash == "#") in >> hash, hash = "#" + hash;
  if (hash != "#include") return "";
  in >> rest;
  if (rest.size() < 2 || rest[0] != '"') return "";
  return rest.substr(1, rest.find('/') == std::string::npos ? 0 : rest.find('/') - 1);
}

// The words inside every target_link_libraries( ... ) of a CMake text.
std::set<std::string> LinkedNames(const std::string& text) {
  std::set<std::string> names;
  for (std::size_t at = text.find("target_link_libraries("); at != std::string::npos;
       at = text.find("target_link_libraries(", at + 1)) {
    const std::size_t open = text.find('(', at), close = text.find(')', open);
    std::istringstream words(text.substr(open + 1, close - open - 1));
    for (std::string word; words >> word;) names.insert(word);
  }
  return names;
}
}  // namespace

TEST(PlatformLayering, NoIncludeOrLinkReachesTheLayersAbove) {
  const std::string platform = testsupport::SourceDir() + "/platform/";
  const std::set<std::string> above = {"Common", "server", "glimt", "setup", "hooks", "tools"};
  std::size_t sources = 0;
  for (const char* pattern : {"*.h", "*.cpp"}) {
    for (const std::string& file : Files(platform + pattern)) {
      ++sources;
      const std::vector<std::string> lines = Lines(file);
      for (std::size_t n = 0; n < lines.size(); ++n)
        EXPECT_EQ(above.count(IncludedFolder(lines[n])), 0u)
            << file << ":" << n + 1 << ": " << lines[n];
    }
  }
  EXPECT_GT(sources, 20u) << "the platform sources were not found under " << platform;
  const std::set<std::string> targets_above = {"Common",    "server_engine", "varno_app",
                                               "glimt_core", "setup_core",    "hooks"};
  std::size_t scripts = 0;
  for (const char* pattern : {"CMakeLists.txt", "*.cmake"}) {
    for (const std::string& file : Files(platform + pattern)) {
      ++scripts;
      for (const std::string& name : LinkedNames(Text(file)))
        EXPECT_EQ(targets_above.count(name), 0u) << file << " links " << name;
    }
  }
  EXPECT_GT(scripts, 1u);
}

TEST(SourceWording, CommentsDescribeTheCodeItself) {
  std::size_t files = 0;
  for (const char* folder : {"platform", "Common", "server", "hooks", "glimt", "setup", "tools",
                             "tests", "fuzz", "bench", "scripts"}) {
    for (const char* pattern : {"/*.h", "/*.cpp", "/*.ui", "/*.cmake", "/CMakeLists.txt",
                                "/*.sh", "/*/*.h", "/*/*.cpp", "/*/*.sh"}) {
      for (const std::string& file : Files(testsupport::SourceDir() + "/" + folder + pattern)) {
        ++files;
        const std::vector<std::string> lines = Lines(file);
        for (std::size_t n = 0; n < lines.size(); ++n) {
          const std::string line = Lower(lines[n]);
          const std::size_t first = line.find_first_not_of(" \t");
          std::size_t comment = std::min({line.find("//"), line.find("/*"), line.find("<!--")});
          if (first != std::string::npos && (line[first] == '*' || line[first] == '#'))
            comment = first;
          const std::size_t word = line.find("original", comment);
          const bool whole = word != std::string::npos &&
                             (word == 0 || !std::isalnum(static_cast<unsigned char>(line[word - 1]))) &&
                             !std::isalnum(static_cast<unsigned char>(line[word + 8]));
          EXPECT_FALSE(comment != std::string::npos && whole)
              << file << ":" << n + 1 << ": " << lines[n];
        }
      }
    }
  }
  EXPECT_GT(files, 100u);
}

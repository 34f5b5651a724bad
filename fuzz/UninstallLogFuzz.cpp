// The uninstall log reader over a whole file, and the writer against it: every record read
// from arbitrary bytes, written to a fresh log and read back, comes back unchanged. The
// replay's rules over the same records: a path it accepts lies inside its scope, a key it
// accepts is the product's own, and removals inside a scratch tree never reach through the
// tree's links into the folder they point at.
#include <fcntl.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/PathRemove.h"
#include "setup/RemoveApp.h"
#include "setup/Uninstall.h"

namespace {
void Require(bool ok) {
  if (!ok) std::abort();
}

struct Record {
  char type;
  std::string first, second;
  bool operator==(const Record&) const = default;
};

// Four folders of this process, on tmpfs when there is one: two logs, the scratch tree the
// replay removes in, and the folder its links point at. Removed when the fuzzer ends.
std::string g_folders[4];

int RemoveEntry(const char* path, const struct stat*, int, FTW*) { return remove(path); }

void RemoveFolders() {
  for (const std::string& f : g_folders)
    if (!f.empty()) nftw(f.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

const std::string& Folder(int which) {
  if (g_folders[0].empty()) {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    for (auto& f : g_folders) {
      std::string t = std::string(base) + "/orvane-fuzz-log-XXXXXX";
      Require(mkdtemp(t.data()) != nullptr);
      f = t;
    }
    atexit(RemoveFolders);
  }
  return g_folders[which];
}

void Touch(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0) close(fd);
}

// The scratch tree, put back before each input: folders, files and links to Folder(3).
void PlantTree() {
  const std::string& tree = Folder(2);
  const std::string& target = Folder(3);
  mkdir((target + "/sub").c_str(), 0755);
  Touch(target + "/sentinel");
  Touch(target + "/sub/sentinel");
  mkdir((tree + "/a").c_str(), 0755);
  mkdir((tree + "/a/empty").c_str(), 0755);
  Touch(tree + "/a/f");
  Touch(tree + "/c");
  (void)!symlink(target.c_str(), (tree + "/b").c_str());
  (void)!symlink(target.c_str(), (tree + "/a/link").c_str());
  (void)!symlink((target + "/sentinel").c_str(), (tree + "/a/filelink").c_str());
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

void CheckReplayRules(const std::vector<Record>& records) {
  const std::string& tree = Folder(2);
  const ReplayScope scope{{tree}};
  PlantTree();
  for (const Record& r : records) {
    const std::string path = tree + "/" + r.first;
    if (IsReplayablePath(path, scope)) {
      Require(path.find("/./") == std::string::npos && path.find("/../") == std::string::npos &&
              path.find("//") == std::string::npos && path.back() != '/');
      RemoveWithoutLinks(path, r.type == 'D', nullptr);
    }
    if (IsReplayableKey(r.first)) {
      const std::string key = Lower(r.first);
      Require(key.rfind("software\\orvane\\", 0) == 0 ||
              key.rfind("software\\microsoft\\windows\\currentversion\\uninstall\\orvane varno", 0) == 0);
    }
  }
  Require(Exists(Folder(3) + "/sentinel") && Exists(Folder(3) + "/sub/sentinel"));
}

std::vector<Record> ReadAll(const std::string& folder) {
  std::vector<Record> out;
  UninstallLog log;
  Require(log.OpenLog(folder));
  Record r;
  while (log.ReadRecord(&r.type, &r.first, &r.second)) out.push_back(r);
  log.CloseLog();
  return out;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string input = UninstallLog::LogPath(Folder(0));
  const int fd = open(input.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  Require(fd >= 0);
  Require(write(fd, data, size) == static_cast<ssize_t>(size));
  close(fd);

  const std::vector<Record> records = ReadAll(Folder(0));
  // Every record takes at least three bytes (type and two length bytes).
  Require(records.size() * 3 <= size);
  for (const Record& r : records) {
    // UTF-16 strings of at most 4095 units grow to at most 3 bytes a unit.
    Require(r.first.size() <= 3 * UninstallLog::kMaxString &&
            r.second.size() <= 3 * UninstallLog::kMaxString);
  }

  // Strings the reader takes as bytes must survive the writer; longer ones are skipped by
  // design, so only those within the reader's limit take part.
  std::vector<Record> writable;
  for (const Record& r : records)
    if (r.first.size() <= UninstallLog::kMaxString && r.second.size() <= UninstallLog::kMaxString)
      writable.push_back(r);
  {
    UninstallLog log;
    log.CreateLog(Folder(1));
    for (const Record& r : writable) log.WriteRecord(r.type, r.first, r.second);
    log.CloseLog();
  }
  Require(ReadAll(Folder(1)) == writable);
  CheckReplayRules(records);
  return 0;
}

// The uninstall log reader over a whole file, and the writer against it: every record read
// from arbitrary bytes, written to a fresh log and read back, comes back unchanged.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

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

// Two folders of this process, on tmpfs when there is one.
const std::string& Folder(int which) {
  static std::string folders[2];
  if (folders[0].empty()) {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    for (auto& f : folders) {
      std::string t = std::string(base) + "/orvane-fuzz-log-XXXXXX";
      Require(mkdtemp(t.data()) != nullptr);
      f = t;
    }
  }
  return folders[which];
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
  return 0;
}

#pragma once
// Writes a file through a temporary file in the destination's folder that is renamed over the
// destination once complete. A symbolic link at the destination is replaced, never followed; a
// running program can be replaced; a copy onto its own source never empties the source. A
// destination without any write bit is refused with EACCES (also for root), as a read-only
// file stops an installation. Main thread of the installer; failures set the last error.
#include <sys/types.h>

#include <cstddef>
#include <string>

class FileReplace {
 public:
  FileReplace() = default;
  ~FileReplace();  // an uncommitted temporary file is removed
  FileReplace(const FileReplace&) = delete;
  FileReplace& operator=(const FileReplace&) = delete;

  // Creates the temporary file with mode (umask applies). False when the destination is
  // read-only or its folder cannot take a new file.
  bool Open(const std::string& destination, mode_t mode);
  // Writes all bytes; retries interrupted and short writes.
  bool Write(const void* data, std::size_t size);
  // Closes the temporary file and renames it over the destination.
  bool Commit();
  // Removes the temporary file; the destination stays as it was.
  void Abort();

  const std::string& temp_path() const { return temp_; }

 private:
  int fd_ = -1;
  std::string temp_;
  std::string destination_;
};

// Creates a new file with a random hidden name in destination's folder (O_EXCL, never through
// a link), mode as given (umask applies). Its descriptor, or -1 with the last error set.
int CreateTempBeside(const std::string& destination, mode_t mode, std::string* temp_path);

// Removes the temporary file of every replacement still open; for FatalError, so that a
// partly written destination is not left behind.
void AbortOpenReplacements();

#pragma once
// The uninstall log "Uninstall.log": records of every change an installation makes, replayed by
// the uninstaller. A record is a type byte and two length-prefixed strings; all access goes
// through one 4096-byte buffer, in one direction per run. Installer's main thread.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

constexpr char kRecordFolder = 'D';
constexpr char kRecordFile = 'F';
constexpr char kRecordKey = 'R';
constexpr char kRecordService = 'S';

// Appends the encoded string: 0..254 bytes: one length byte; 255..65533: 0xFF and a 16-bit
// length; 65534 and more: 0xFF 0xFF 0xFF and a 32-bit length; all little-endian.
void AppendLogString(std::string& out, const std::string& text);
// One whole record as written to the file.
std::string EncodeRecord(char type, const std::string& first, const std::string& second);
// UTF-16LE units to UTF-8; an unpaired surrogate becomes '?'.
std::string Utf16LeToUtf8(const unsigned char* data, std::size_t units);

class UninstallLog {
 public:
  static constexpr std::size_t kBufferSize = 4096;
  // Longest string a record may carry when read (bytes, or UTF-16 units); a longer one makes
  // its record be skipped.
  static constexpr std::size_t kMaxString = 4095;

  UninstallLog() = default;
  ~UninstallLog();
  UninstallLog(const UninstallLog&) = delete;
  UninstallLog& operator=(const UninstallLog&) = delete;

  // Creates folder/Uninstall.log anew; FatalError when it cannot.
  void CreateLog(const std::string& folder);
  // Opens folder/Uninstall.log for reading; false when it cannot be opened.
  bool OpenLog(const std::string& folder);
  // Appends one record; FatalError when the log cannot be written.
  void WriteRecord(char type, const std::string& first, const std::string& second);
  // The next complete record; false at the end of the file, on a read error or on a record
  // that cannot be read in full. Records with an over-long string are skipped.
  bool ReadRecord(char* type, std::string* first, std::string* second);
  // Writes out buffered records (when writing) and closes the file.
  void CloseLog();
  // Writes out what the buffer holds; false when the file refused it. Safe to call in any
  // state (FatalError calls it).
  bool Flush();

  bool is_writing() const { return fd_ >= 0 && writing_; }
  static std::string LogPath(const std::string& folder) { return folder + "/Uninstall.log"; }

 private:
  enum class Got { Ok, TooLong, End };
  bool Fill();
  bool ReadBytes(void* out, std::size_t size);
  bool Skip(uint64_t size);
  bool ReadLength(uint64_t* length, bool* utf16);
  Got ReadString(std::string* text);

  int fd_ = -1;
  bool writing_ = false;
  unsigned char buffer_[kBufferSize];
  std::size_t used_ = 0;   // writing: bytes held; reading: end of valid bytes
  std::size_t pos_ = 0;    // reading: next byte in the buffer
  uint64_t unread_ = 0;    // reading: bytes of the file not yet taken into the buffer
};

#include "setup/Uninstall.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "Common/Log.h"
#include "platform/FileReplace.h"
#include "platform/LastError.h"

static const char kModule[] = "setup/Uninstall";

void AppendLogString(std::string& out, const std::string& text) {
  const uint64_t n = text.size();
  if (n < 255) {
    out += static_cast<char>(n);
  } else if (n < 65534) {
    out += '\xFF';
    out += static_cast<char>(n & 0xFF);
    out += static_cast<char>(n >> 8);
  } else {
    out += "\xFF\xFF\xFF";
    for (int i = 0; i < 4; ++i) out += static_cast<char>((n >> (8 * i)) & 0xFF);
  }
  out += text;
}

std::string EncodeRecord(char type, const std::string& first, const std::string& second) {
  std::string record(1, type);
  AppendLogString(record, first);
  AppendLogString(record, second);
  return record;
}

namespace {
void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}
}  // namespace

std::string Utf16LeToUtf8(const unsigned char* data, std::size_t units) {
  std::string out;
  for (std::size_t i = 0; i < units; ++i) {
    const uint32_t u = data[2 * i] | (data[2 * i + 1] << 8);
    if (u >= 0xD800 && u < 0xDC00 && i + 1 < units) {
      const uint32_t low = data[2 * i + 2] | (data[2 * i + 3] << 8);
      if (low >= 0xDC00 && low < 0xE000) {
        AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
    }
    if (u >= 0xD800 && u < 0xE000) {
      out += '?';
    } else {
      AppendUtf8(out, u);
    }
  }
  return out;
}

UninstallLog::~UninstallLog() { CloseLog(); }

void UninstallLog::CreateLog(const std::string& folder) {
  CloseLog();
  // A new file renamed over the old log: a symbolic or hard link left under the log's name is
  // replaced, and the file it pointed at is neither emptied nor written.
  const std::string path = LogPath(folder);
  std::string temp;
  int fd = CreateTempBeside(path, 0644, &temp);
  if (fd >= 0 && rename(temp.c_str(), path.c_str()) != 0) {
    SetLastErrorFromErrno();
    close(fd);
    unlink(temp.c_str());
    fd = -1;
  }
  if (fd < 0) FatalError("Cannot create uninstall log file", kModule, __LINE__);
  fd_ = fd;
  writing_ = true;
  used_ = 0;
}

bool UninstallLog::OpenLog(const std::string& folder) {
  CloseLog();
  const int fd = open(LogPath(folder).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    SetLastErrorFromErrno();
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    SetLastError(EINVAL);
    close(fd);
    return false;
  }
  fd_ = fd;
  writing_ = false;
  used_ = pos_ = 0;
  unread_ = static_cast<uint64_t>(st.st_size);
  return true;
}

bool UninstallLog::Flush() {
  if (fd_ < 0 || !writing_) return true;
  std::size_t done = 0;
  while (done < used_) {
    const ssize_t n = write(fd_, buffer_ + done, used_ - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      SetLastErrorFromErrno();
      // Keep what is not written yet, so a later flush can try again.
      std::memmove(buffer_, buffer_ + done, used_ - done);
      used_ -= done;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  used_ = 0;
  return true;
}

void UninstallLog::WriteRecord(char type, const std::string& first, const std::string& second) {
  if (fd_ < 0 || !writing_) return;
  const std::string record = EncodeRecord(type, first, second);
  std::size_t done = 0;
  while (done < record.size()) {
    if (used_ == kBufferSize && !Flush())
      FatalError("Cannot write uninstall log file", kModule, __LINE__);
    const std::size_t take = std::min(kBufferSize - used_, record.size() - done);
    std::memcpy(buffer_ + used_, record.data() + done, take);
    used_ += take;
    done += take;
  }
}

void UninstallLog::CloseLog() {
  if (fd_ < 0) return;
  if (writing_ && !Flush()) {
    const int fd = fd_;
    fd_ = -1;
    close(fd);
    FatalError("Cannot write uninstall log file", kModule, __LINE__);
  }
  close(fd_);
  fd_ = -1;
  used_ = pos_ = 0;
  unread_ = 0;
}

bool UninstallLog::Fill() {
  if (unread_ == 0) return false;
  if (pos_ < used_) std::memmove(buffer_, buffer_ + pos_, used_ - pos_);
  used_ -= pos_;
  pos_ = 0;
  while (used_ < kBufferSize && unread_ > 0) {
    const ssize_t n = read(fd_, buffer_ + used_, kBufferSize - used_);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      unread_ = 0;  // a read error ends the log as if the file had ended
      break;
    }
    used_ += static_cast<std::size_t>(n);
    unread_ -= std::min<uint64_t>(unread_, static_cast<uint64_t>(n));
  }
  return true;
}

bool UninstallLog::ReadBytes(void* out, std::size_t size) {
  unsigned char* dst = static_cast<unsigned char*>(out);
  while (size > 0) {
    if (pos_ == used_ && !Fill()) return false;
    if (pos_ == used_) return false;
    const std::size_t take = std::min(size, used_ - pos_);
    std::memcpy(dst, buffer_ + pos_, take);
    pos_ += take;
    dst += take;
    size -= take;
  }
  return true;
}

bool UninstallLog::Skip(uint64_t size) {
  const uint64_t buffered = used_ - pos_;
  if (size > buffered + unread_) return false;  // reaches past the end: the log is cut
  if (size <= buffered) {
    pos_ += static_cast<std::size_t>(size);
    return true;
  }
  const uint64_t beyond = size - buffered;
  if (lseek(fd_, static_cast<off_t>(beyond), SEEK_CUR) < 0) return false;
  unread_ -= beyond;
  pos_ = used_ = 0;
  return true;
}

// One length prefix. utf16 is set for the marker 0xFF 0xFFFE, which the caller follows by a
// second prefix (units), which itself must not be the marker.
bool UninstallLog::ReadLength(uint64_t* length, bool* utf16) {
  unsigned char b;
  if (!ReadBytes(&b, 1)) return false;
  *utf16 = false;
  if (b < 255) {
    *length = b;
    return true;
  }
  unsigned char w[2];
  if (!ReadBytes(w, 2)) return false;
  const uint32_t m = w[0] | (w[1] << 8);
  if (m < 0xFFFE) {
    *length = m;
  } else if (m == 0xFFFE) {
    *utf16 = true;
    *length = 0;
  } else {
    unsigned char d[4];
    if (!ReadBytes(d, 4)) return false;
    *length = d[0] | (d[1] << 8) | (d[2] << 16) | (static_cast<uint32_t>(d[3]) << 24);
  }
  return true;
}

UninstallLog::Got UninstallLog::ReadString(std::string* text) {
  uint64_t length = 0;
  bool utf16 = false;
  if (!ReadLength(&length, &utf16)) return Got::End;
  if (utf16) {
    bool nested = false;
    if (!ReadLength(&length, &nested) || nested) return Got::End;
    if (length > kMaxString) return Skip(length * 2) ? Got::TooLong : Got::End;
    unsigned char units[2 * kMaxString];
    if (!ReadBytes(units, static_cast<std::size_t>(length * 2))) return Got::End;
    *text = Utf16LeToUtf8(units, static_cast<std::size_t>(length));
    return Got::Ok;
  }
  if (length > kMaxString) return Skip(length) ? Got::TooLong : Got::End;
  char bytes[kMaxString];
  if (!ReadBytes(bytes, static_cast<std::size_t>(length))) return Got::End;
  text->assign(bytes, static_cast<std::size_t>(length));
  return Got::Ok;
}

bool UninstallLog::ReadRecord(char* type, std::string* first, std::string* second) {
  if (fd_ < 0 || writing_) return false;
  for (;;) {
    unsigned char t;
    if (!ReadBytes(&t, 1)) return false;
    const Got a = ReadString(first);
    if (a == Got::End) return false;
    const Got b = ReadString(second);
    if (b == Got::End) return false;
    if (a == Got::Ok && b == Got::Ok) {
      *type = static_cast<char>(t);
      return true;
    }
  }
}

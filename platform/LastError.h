#pragma once
// The calling thread's last-error value, in place of GetLastError/SetLastError.
// Codes: 0 = success; 1..kResolverBase-1 = errno values; kResolverBase + n = getaddrinfo's
// EAI_* code -n; kSqliteBase + n = SQLite result code n. Any thread; thread-local.
#include <string>

constexpr int kResolverBase = 20000;
constexpr int kSqliteBase = 30000;

int GetLastError();
void SetLastError(int code);
// Sets the last error from errno (kept as it is).
void SetLastErrorFromErrno();
inline int ResolverError(int eai) { return kResolverBase - eai; }  // EAI_* are negative
inline int SqliteError(int rc) { return kSqliteBase + rc; }

// The system's text for a code, without a trailing period and line break; false when the
// platform has no text for it. Code 0 has a text ("Success").
bool SystemText(int code, std::string& text);

// Saves the last error on construction and puts it back on destruction, for the operations
// whose last-error value is "kept".
class LastErrorKeeper {
 public:
  LastErrorKeeper() : saved_(GetLastError()) {}
  ~LastErrorKeeper() { SetLastError(saved_); }
  int saved() const { return saved_; }
  LastErrorKeeper(const LastErrorKeeper&) = delete;
  LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;
 private:
  int saved_;
};

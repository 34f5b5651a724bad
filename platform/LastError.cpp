#include "platform/LastError.h"

#include <netdb.h>
#include <sqlite3.h>

#include <cerrno>
#include <cstring>

namespace {
thread_local int t_last_error = 0;

// strerror_r and friends answer "Unknown error N" for codes they do not know; that is "no text".
bool IsUnknownText(const char* text) {
  return !text || !*text || strncasecmp(text, "unknown error", 13) == 0;
}

void StripEnding(std::string& text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (!text.empty() && text.back() == '.') text.pop_back();
}
}  // namespace

int GetLastError() { return t_last_error; }
void SetLastError(int code) { t_last_error = code; }
void SetLastErrorFromErrno() { t_last_error = errno; }

bool SystemText(int code, std::string& text) {
  const char* found = nullptr;
  char buffer[256];
  if (code >= kSqliteBase) {
    found = sqlite3_errstr(code - kSqliteBase);  // "unknown error" for codes it lacks
  } else if (code >= kResolverBase) {
    const int eai = kResolverBase - code;
    found = gai_strerror(eai);
  } else if (code >= 0) {
    found = strerror_r(code, buffer, sizeof buffer);  // GNU variant: may return a static text
  }
  if (code != 0 && IsUnknownText(found)) return false;
  if (!found) return false;
  text = found;
  StripEnding(text);
  return true;
}

#include "Common/Target.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <climits>
#include <cstdint>
#include <cstring>

namespace {
bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads [blanks][sign]digits as strtol does, saturating at the int range instead of
// overflowing. *end points past the last digit (or at text when there is none).
int ReadDecimal(const char* text, const char** end, bool* digits, bool* in_range) {
  const char* p = text;
  while (IsSpace(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  // Accumulate towards the sign's limit; one extra step past it marks the overflow.
  const int64_t limit = negative ? -static_cast<int64_t>(INT_MIN) : INT_MAX;
  int64_t value = 0;
  bool any = false, fits = true;
  for (; IsDigit(*p); ++p) {
    any = true;
    if (value <= limit) value = value * 10 + (*p - '0');
    if (value > limit) {
      fits = false;
      value = limit + 1;  // stays bounded however many digits follow
    }
  }
  if (!fits) value = limit;
  *end = any ? p : text;
  *digits = any;
  *in_range = fits;
  return static_cast<int>(negative ? -value : value);
}
}  // namespace

int DecimalValue(const char* text) {
  if (!text) return 0;
  const char* end;
  bool digits, in_range;
  return ReadDecimal(text, &end, &digits, &in_range);
}

int PortValue(const char* text) {
  return static_cast<int>(static_cast<uint32_t>(DecimalValue(text)) & 0xFFFFu);
}

bool SplitTarget(const char* text, char* group, int* port) {
  if (!text || !group) return false;
  const std::size_t length = strnlen(text, kTextBytes);
  if (length >= kTextBytes) return false;
  const char* colon = static_cast<const char*>(std::memchr(text, ':', length));
  const std::size_t group_length = colon ? static_cast<std::size_t>(colon - text) : length;
  // text and group may be the same buffer (the programs cut g_group in place).
  std::memmove(group, text, group_length);
  group[group_length] = '\0';
  if (colon && port) *port = PortValue(colon + 1);
  return true;
}

bool NamesPortZero(const char* text) {
  const char* colon = text ? std::strchr(text, ':') : nullptr;
  return colon && PortValue(colon + 1) == 0;
}

bool ParseDialogInteger(const char* text, int* value) {
  if (!text) return false;
  // The dialogs read at most 31 characters of a field.
  char field[32];
  const std::size_t length = strnlen(text, sizeof field - 1);
  std::memcpy(field, text, length);
  field[length] = '\0';

  const char* p = field;
  while (*p == ' ' || *p == '\t') ++p;
  const char* first = p;
  if (*p == '+' || *p == '-') ++p;
  if (!IsDigit(*p)) return false;
  const char* end;
  bool digits, in_range;
  const int parsed = ReadDecimal(first, &end, &digits, &in_range);
  if (!digits || !in_range) return false;
  // "-0" and "+0" are refused: a zero must be written starting with the digit 0.
  if (parsed == 0 && *first != '0') return false;
  for (p = end; *p; ++p) {
    if (*p != ' ' && *p != '\t') return false;
  }
  if (value) *value = parsed;
  return true;
}

bool IsMulticastGroup(const char* text) {
  if (!text) return false;
  in_addr address{};
  if (inet_aton(text, &address) == 0) return false;
  return (ntohl(address.s_addr) >> 28) == 0xEu;
}

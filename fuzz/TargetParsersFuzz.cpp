// The target, port and integer parsers of the command lines, dialogs and settings, checked
// against the C library's readings of the same text.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Common/Target.h"

namespace {
void Require(bool ok) {
  if (!ok) std::abort();
}

int StrtolInt(const char* text) {
  errno = 0;
  const long long v = std::strtoll(text, nullptr, 10);
  return static_cast<int>(v < INT_MIN ? INT_MIN : v > INT_MAX ? INT_MAX : v);
}

// The dialog rule written out plainly: [blanks][sign]digits[blanks], within int, and a zero
// written with a sign is refused.
bool DialogRule(const std::string& field, int* value) {
  std::size_t p = 0;
  while (p < field.size() && (field[p] == ' ' || field[p] == '\t')) ++p;
  const std::size_t start = p;
  if (p < field.size() && (field[p] == '+' || field[p] == '-')) ++p;
  const std::size_t digits = p;
  while (p < field.size() && field[p] >= '0' && field[p] <= '9') ++p;
  if (p == digits) return false;
  for (std::size_t q = p; q < field.size(); ++q)
    if (field[q] != ' ' && field[q] != '\t') return false;
  errno = 0;
  const long long v = std::strtoll(field.c_str() + start, nullptr, 10);
  if (errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
  if (v == 0 && field[start] != '0') return false;
  *value = static_cast<int>(v);
  return true;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size > 600) return 0;
  const std::string text(reinterpret_cast<const char*>(data), size);
  const char* c = text.c_str();  // cut at the first NUL, as the programs see it
  const std::size_t length = std::strlen(c);

  Require(DecimalValue(c) == StrtolInt(c));
  Require(PortValue(c) == static_cast<int>(static_cast<uint32_t>(StrtolInt(c)) & 0xFFFF));

  char group[kTextBytes];
  std::memset(group, '#', sizeof group);
  int port = -7;
  const bool split = SplitTarget(c, group, &port);
  Require(split == (length < kTextBytes));
  if (split) {
    const char* colon = std::strchr(c, ':');
    const std::size_t cut = colon ? static_cast<std::size_t>(colon - c) : length;
    Require(std::strlen(group) == cut && std::memcmp(group, c, cut) == 0);
    Require(port == (colon ? PortValue(colon + 1) : -7));
    // Cutting in place, as the programs do with g_group, gives the same.
    char same[kTextBytes];
    std::memcpy(same, c, length + 1);
    int port2 = -7;
    Require(SplitTarget(same, same, &port2) && std::strcmp(same, group) == 0 && port2 == port);
  } else {
    Require(port == -7 && static_cast<uint8_t>(group[0]) == '#');
  }

  int value = 12345, expected = 12345;
  const bool parsed = ParseDialogInteger(c, &value);
  // The dialogs read at most 31 characters of a field.
  const bool rule = DialogRule(std::string(c, length < 31 ? length : 31), &expected);
  Require(parsed == rule);
  if (parsed) Require(value == expected);

  (void)IsMulticastGroup(c);
  return 0;
}

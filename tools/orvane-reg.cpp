// orvane-reg: query and change the registry hives from the command line, in the manner of the
// Windows "reg" tool, since Linux has no registry editor.
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/LastError.h"
#include "platform/RegistryHive.h"

namespace {

const char kUsage[] =
    "Usage:\n"
    "  orvane-reg query KEY [VALUE | /v VALUE | /ve]\n"
    "  orvane-reg add KEY [/v VALUE | /ve] [/t TYPE] [/d DATA | /p] [/f]\n"
    "  orvane-reg delete KEY [/v VALUE | /ve] [/f]\n"
    "  orvane-reg --help\n"
    "\n"
    "KEY      HIVE\\path\\of\\the\\key, HIVE one of HKLM, HKEY_LOCAL_MACHINE, HKCU,\n"
    "         HKEY_CURRENT_USER (for example HKLM\\SOFTWARE\\Orvane\\VARNO\\Parameters)\n"
    "/v       the value's name; /ve the key's unnamed default value\n"
    "/t       REG_SZ (the default), REG_EXPAND_SZ, REG_DWORD or REG_BINARY\n"
    "/d       the data: text, an integer for REG_DWORD (decimal or 0x hex), hex digits\n"
    "         for REG_BINARY\n"
    "/p       read the data from standard input, one line (not echoed on a terminal):\n"
    "         keeps a passphrase such as StreamKey off the command line and the history\n"
    "/f       accepted for compatibility; nothing is ever asked\n"
    "\n"
    "query without a value lists the key's values and sub-keys; delete without a value\n"
    "removes the key with everything below it. The data of a StreamKey value is never\n"
    "printed: query shows (hidden) when it holds a passphrase.\n"
    "The hives are kept in $ORVANE_REGISTRY, else $XDG_CONFIG_HOME/orvane, else\n"
    "~/.config/orvane. Exit status: 0 on success, 1 on failure, 2 for bad arguments.\n";

constexpr int kFailed = 1;
constexpr int kBadArguments = 2;

int Usage(const char* problem) {
  fprintf(stderr, "orvane-reg: %s\n\n%s", problem, kUsage);
  return kBadArguments;
}

int Failure(const char* what, int code) {
  if (code == kRegMissing) {
    fprintf(stderr, "ERROR: %s: the registry key or value was not found.\n", what);
  } else {
    std::string text;
    if (!SystemText(code, text)) text = "error " + std::to_string(code);
    fprintf(stderr, "ERROR: %s: %s.\n", what, text.c_str());
  }
  return kFailed;
}

struct KeyName {
  Hive hive;
  std::string hive_name;  // long form, as printed
  std::string path;       // below the hive, without leading or trailing backslash
};

bool SameText(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

bool ParseKey(const std::string& text, KeyName& key) {
  const size_t cut = text.find('\\');
  const std::string hive = text.substr(0, cut);
  if (SameText(hive, "HKLM") || SameText(hive, "HKEY_LOCAL_MACHINE")) {
    key.hive = Hive::LocalMachine;
    key.hive_name = "HKEY_LOCAL_MACHINE";
  } else if (SameText(hive, "HKCU") || SameText(hive, "HKEY_CURRENT_USER")) {
    key.hive = Hive::CurrentUser;
    key.hive_name = "HKEY_CURRENT_USER";
  } else {
    return false;
  }
  key.path = cut == std::string::npos ? "" : text.substr(cut + 1);
  while (!key.path.empty() && key.path.back() == '\\') key.path.pop_back();
  return true;
}

std::string FullName(const KeyName& key) {
  return key.path.empty() ? key.hive_name : key.hive_name + "\\" + key.path;
}

const char* TypeName(uint32_t type) {
  switch (type) {
    case REG_NONE: return "REG_NONE";
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    default: return nullptr;
  }
}

std::string Hex(const std::string& data) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : data) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

// Values whose data is a secret: the stream key's passphrase.
bool SecretValue(const std::string& name) { return SameText(name, "StreamKey"); }

void PrintValue(const std::string& name, uint32_t type, const std::string& data) {
  const std::string shown = name.empty() ? "(Default)" : name;
  const char* type_name = TypeName(type);
  std::string text;
  if (SecretValue(name)) {
    if (!data.empty() && data[0] != '\0') text = "(hidden)";
  } else if ((type == REG_SZ || type == REG_EXPAND_SZ)) {
    text = data.substr(0, data.find('\0'));
  } else if (type == REG_DWORD && data.size() == 4) {
    uint32_t v;
    memcpy(&v, data.data(), 4);
    char buffer[16];
    snprintf(buffer, sizeof buffer, "0x%x", v);
    text = buffer;
  } else {
    text = Hex(data);
  }
  std::string unknown = "REG_0x" + std::to_string(type);
  printf("    %s    %s    %s\n", shown.c_str(), type_name ? type_name : unknown.c_str(),
         text.c_str());
}

// Options after KEY: /v NAME, /ve, /t TYPE, /d DATA, /f; a bare word is a value name (query).
struct Options {
  bool has_value = false;
  std::string value;
  bool has_type = false;
  std::string type;
  bool has_data = false;
  std::string data;
  bool data_from_input = false;  // /p
  bool bare_allowed = false;
};

bool ParseOptions(const std::vector<std::string>& args, size_t from, Options& o,
                  std::string& problem) {
  for (size_t i = from; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto next = [&](std::string& into, bool& seen) {
      if (seen) {
        problem = a + " given twice";
        return false;
      }
      if (i + 1 >= args.size()) {
        problem = a + " needs an argument";
        return false;
      }
      into = args[++i];
      seen = true;
      return true;
    };
    if (SameText(a, "/v") || SameText(a, "-v")) {
      if (!next(o.value, o.has_value)) return false;
    } else if (SameText(a, "/ve") || SameText(a, "-ve")) {
      if (o.has_value) {
        problem = "/v or /ve given twice";
        return false;
      }
      o.has_value = true;
      o.value.clear();
    } else if (SameText(a, "/t") || SameText(a, "-t")) {
      if (!next(o.type, o.has_type)) return false;
    } else if (SameText(a, "/d") || SameText(a, "-d")) {
      if (!next(o.data, o.has_data)) return false;
    } else if (SameText(a, "/p") || SameText(a, "-p")) {
      if (o.data_from_input) {
        problem = a + " given twice";
        return false;
      }
      o.data_from_input = true;
    } else if (SameText(a, "/f") || SameText(a, "-f")) {
      // nothing is ever asked
    } else if (o.bare_allowed && !o.has_value && !a.empty() && a[0] != '/' && a[0] != '-') {
      o.value = a;
      o.has_value = true;
    } else {
      problem = "unexpected argument \"" + a + "\"";
      return false;
    }
  }
  return true;
}

bool ParseDword(const std::string& text, uint32_t& value) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || isspace(static_cast<unsigned char>(text[0])))
    return false;
  errno = 0;
  char* end = nullptr;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  unsigned long long v = strtoull(text.c_str(), &end, hex ? 16 : 10);
  if (errno || *end || v > 0xFFFFFFFFull) return false;
  value = static_cast<uint32_t>(v);
  return true;
}

bool ParseHex(const std::string& text, std::string& bytes) {
  if (text.size() % 2) return false;
  bytes.clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    char pair[3] = {text[i], text[i + 1], 0};
    if (!isxdigit(static_cast<unsigned char>(pair[0])) ||
        !isxdigit(static_cast<unsigned char>(pair[1])))
      return false;
    bytes += static_cast<char>(strtoul(pair, nullptr, 16));
  }
  return true;
}

// One line of standard input without its line break; on a terminal it is asked for on
// standard error and not echoed. False when nothing could be read.
bool ReadDataLine(std::string& data) {
  const bool terminal = isatty(STDIN_FILENO);
  termios saved{};
  if (terminal && tcgetattr(STDIN_FILENO, &saved) == 0) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    fputs("Data: ", stderr);
  }
  data.clear();
  int c;
  while ((c = getchar()) != EOF && c != '\n') data += static_cast<char>(c);
  const bool got = c == '\n' || !data.empty();
  if (terminal) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    fputs("\n", stderr);
  }
  if (!data.empty() && data.back() == '\r') data.pop_back();
  return got;
}

int Query(const KeyName& key, const Options& o) {
  RegKey k;
  int rc = RegKey::Open(key.hive, key.path, k);
  if (rc) return Failure(FullName(key).c_str(), rc);
  if (o.has_value) {
    uint32_t type = REG_NONE, length = 0;
    rc = k.QueryValue(o.value.c_str(), &type, nullptr, &length);
    std::string data(length, '\0');
    if (!rc && length) rc = k.QueryValue(o.value.c_str(), &type, data.data(), &length);
    if (rc) return Failure((FullName(key) + " " + o.value).c_str(), rc);
    data.resize(length);
    // Show the name as stored: names match without regard to case.
    std::string stored = o.value, name, ignored;
    for (uint32_t i = 0; k.EnumValue(i, name, nullptr, ignored) == 0; ++i) {
      if (strcasecmp(name.c_str(), o.value.c_str()) == 0) {
        stored = name;
        break;
      }
    }
    printf("\n%s\n", FullName(key).c_str());
    PrintValue(stored, type, data);
    printf("\n");
    return 0;
  }
  printf("\n%s\n", FullName(key).c_str());
  std::string name, data;
  uint32_t type = REG_NONE;
  for (uint32_t i = 0; (rc = k.EnumValue(i, name, &type, data)) == 0; ++i)
    PrintValue(name, type, data);
  if (rc != kRegNoMoreItems) return Failure(FullName(key).c_str(), rc);
  printf("\n");
  for (uint32_t i = 0; (rc = k.EnumKey(i, name)) == 0; ++i)
    printf("%s\\%s\n", FullName(key).c_str(), name.c_str());
  if (rc != kRegNoMoreItems) return Failure(FullName(key).c_str(), rc);
  return 0;
}

// The data as quoted in a message: a secret is not repeated.
std::string Shown(const Options& o) {
  return SecretValue(o.value) ? std::string("the data") : "\"" + o.data + "\"";
}

int Add(const KeyName& key, Options o) {
  if (key.path.empty() && !o.has_value) return Usage("add needs a key below the hive");
  if (!o.has_value && (o.has_type || o.has_data || o.data_from_input))
    return Usage("/t, /d and /p need /v or /ve");
  if (o.has_data && o.data_from_input) return Usage("/d and /p cannot be given together");
  if (o.data_from_input) {
    if (!ReadDataLine(o.data)) return Usage("/p found no line on standard input");
    o.has_data = true;
  }
  uint32_t type = REG_SZ;
  std::string bytes;
  if (o.has_type) {
    if (SameText(o.type, "REG_SZ")) type = REG_SZ;
    else if (SameText(o.type, "REG_EXPAND_SZ")) type = REG_EXPAND_SZ;
    else if (SameText(o.type, "REG_DWORD")) type = REG_DWORD;
    else if (SameText(o.type, "REG_BINARY")) type = REG_BINARY;
    else return Usage(("unknown type \"" + o.type + "\"").c_str());
  }
  if (type == REG_DWORD) {
    uint32_t v = 0;
    if (o.has_data && !ParseDword(o.data, v))
      return Usage((Shown(o) + " is not a 32-bit unsigned integer").c_str());
    bytes.assign(reinterpret_cast<const char*>(&v), 4);
  } else if (type == REG_BINARY) {
    if (!ParseHex(o.data, bytes))
      return Usage((Shown(o) + " is not an even number of hex digits").c_str());
  } else {
    bytes = o.data;
    bytes += '\0';  // texts are stored with their terminator
  }
  RegKey k;
  int rc = RegKey::Create(key.hive, key.path, "REG_SZ", k);
  if (rc) return Failure(FullName(key).c_str(), rc);
  if (o.has_value) {
    rc = k.SetValue(o.value.c_str(), type, bytes.data(), static_cast<uint32_t>(bytes.size()));
    if (rc) return Failure((FullName(key) + " " + o.value).c_str(), rc);
  }
  printf("The operation completed successfully.\n");
  return 0;
}

// Removes the key with every sub-key, deepest first. Done here rather than with the
// installer's helper, whose "RegDeleteKey" reports belong in a program's debug stream.
int DeleteTree(Hive hive, const std::string& path) {
  RegKey k;
  int rc = RegKey::Open(hive, path, k);
  if (rc) return rc;
  std::string name;
  while ((rc = k.EnumKey(0, name)) == 0) {
    if ((rc = DeleteTree(hive, path + "\\" + name))) return rc;
  }
  if (rc != kRegNoMoreItems) return rc;
  k.Close();
  const size_t cut = path.rfind('\\');
  RegKey parent;
  if ((rc = RegKey::Open(hive, cut == std::string::npos ? "" : path.substr(0, cut), parent)))
    return rc;
  return parent.DeleteKey(cut == std::string::npos ? path.c_str() : path.c_str() + cut + 1);
}

int Delete(const KeyName& key, const Options& o) {
  if (o.has_type || o.has_data || o.data_from_input) return Usage("delete takes no /t, /d or /p");
  if (o.has_value) {
    RegKey k;
    int rc = RegKey::Open(key.hive, key.path, k);
    if (!rc) rc = k.DeleteValue(o.value.c_str());
    if (rc) return Failure((FullName(key) + " " + o.value).c_str(), rc);
  } else {
    if (key.path.empty()) return Usage("refusing to delete a whole hive");
    int rc = DeleteTree(key.hive, key.path);
    if (rc) return Failure(FullName(key).c_str(), rc);
  }
  printf("The operation completed successfully.\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage("no operation given");
  const std::string& op = args[0];
  if (op == "--help" || op == "-h" || op == "/?" || SameText(op, "help")) {
    fputs(kUsage, stdout);
    return 0;
  }
  const bool query = SameText(op, "query"), add = SameText(op, "add"),
             del = SameText(op, "delete");
  if (!query && !add && !del) return Usage(("unknown operation \"" + op + "\"").c_str());
  if (args.size() < 2) return Usage((op + " needs a KEY").c_str());
  KeyName key;
  if (!ParseKey(args[1], key))
    return Usage(("\"" + args[1] + "\" does not start with HKLM or HKCU").c_str());
  Options o;
  o.bare_allowed = query;
  std::string problem;
  if (!ParseOptions(args, 2, o, problem)) return Usage(problem.c_str());
  if (query && (o.has_type || o.has_data || o.data_from_input))
    return Usage("query takes no /t, /d or /p");
  if (query) return Query(key, o);
  if (add) return Add(key, o);
  return Delete(key, o);
}

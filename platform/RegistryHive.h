#pragma once
// The registry in place of the Windows one: each hive is a SQLite file in the registry folder
// ($ORVANE_REGISTRY, else $XDG_CONFIG_HOME/orvane, else ~/.config/orvane). Keys form a tree with
// case-insensitive names and a class text; values are typed; value names are case-insensitive
// (ASCII) and keep the case of their first write. Every call works in its own transaction, so
// several processes may write at once. Any thread; a RegKey belongs to one thread at a time.
// Results: 0 on success, else an error code (errno or SqliteError) that is also set as the
// last error.
#include <cstdint>
#include <memory>
#include <string>

enum RegType : uint32_t {
  REG_NONE = 0, REG_SZ = 1, REG_EXPAND_SZ = 2, REG_BINARY = 3, REG_DWORD = 4,
};

enum class Hive { LocalMachine, CurrentUser };

constexpr int kRegMissing = 2;      // ENOENT: no such key or value
constexpr int kRegMoreData = 234;   // the value does not fit the caller's buffer (length set)
constexpr int kRegNoMoreItems = 259;  // enumeration ended

struct RegKeyState;
// One open key. Closing (or destroying) releases it.
class RegKey {
 public:
  RegKey();
  ~RegKey();
  RegKey(RegKey&&) noexcept;
  RegKey& operator=(RegKey&&) noexcept;
  bool valid() const;
  int Close();
  // Create the key (and every missing key on its path, with class text cls) or open it.
  static int Create(Hive hive, const std::string& path, const char* cls, RegKey& out);
  // Open an existing key. An empty path opens the hive's root.
  static int Open(Hive hive, const std::string& path, RegKey& out);
  // Read a value: type and data; *length is the buffer's size on entry and the value's size on
  // return (also when kRegMoreData is returned; the buffer is then not written).
  int QueryValue(const char* name, uint32_t* type, void* data, uint32_t* length) const;
  int SetValue(const char* name, uint32_t type, const void* data, uint32_t length);
  int DeleteValue(const char* name);
  // Name of the sub-key at index (sorted by name); kRegNoMoreItems past the end.
  int EnumKey(uint32_t index, std::string& name) const;
  // Name, type and data of the value at index (sorted by name); kRegNoMoreItems past the end.
  int EnumValue(uint32_t index, std::string& name, uint32_t* type, std::string& data) const;
  // Delete a direct sub-key that has no sub-keys of its own (with its values).
  int DeleteKey(const char* subkey);
  // Class text of this key.
  int QueryClass(std::string& cls) const;
 private:
  std::unique_ptr<RegKeyState> state_;
};

// %NAME% replaced by the environment variable NAME when set, left as it stands otherwise.
std::string ExpandEnvironmentStrings(const std::string& text);
// The folder that holds the hive files.
std::string RegistryFolder();
// The file of one hive in that folder.
std::string HiveFile(Hive hive);

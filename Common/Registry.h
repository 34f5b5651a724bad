#pragma once
// Settings store on the registry hives, and a wrapper of one open key for the installer.
#include <cstdint>
#include <memory>
#include "platform/RegistryHive.h"

constexpr int kRegTextBytes = 260;  // texts read from values, and key paths: 259 + terminator

class RegistryKey {
 public:
  RegistryKey() = default;
  ~RegistryKey() { Close(); }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  bool Create(const char* path);        // HKEY_LOCAL_MACHINE, class "REG_SZ"
  bool Open(const char* path);          // HKEY_LOCAL_MACHINE
  bool OpenReported(const char* path);  // as Open, with a "RegOpenKeyEx(%s)" ReportError
  bool OpenUser(const char* path);      // HKEY_CURRENT_USER
  bool Close();
  bool GetDword(const char* name, uint32_t* value);
  bool SetDword(const char* name, uint32_t value);
  // buffer holds kRegTextBytes bytes; on failure it is left as it was.
  bool GetString(const char* name, char* buffer);
  bool SetString(const char* name, const char* text);
  // Deletes the direct sub-key name and everything below it.
  bool DeleteSubKeyTree(const char* name);

  const std::string& path() const { return path_; }
  RegKey& key() { return key_; }

 private:
  bool OpenIn(Hive hive, const char* path, bool create);
  RegKey key_;
  Hive hive_ = Hive::LocalMachine;
  std::string path_;
};

// Deletes a key under HKEY_LOCAL_MACHINE with all its sub-keys.
bool DeleteKeyTree(const char* path);

// Settings in SOFTWARE\Orvane\VARNO\<section>. Reads leave the caller's value as it was on
// failure and create nothing.
bool GetSettingDword(const char* name, uint32_t* value, const char* section);
bool GetSettingString(const char* name, char* buffer, const char* section);
bool SetSettingDword(const char* name, uint32_t value, const char* section);
bool SetSettingString(const char* name, const char* text, const char* section);

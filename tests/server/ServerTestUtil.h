#pragma once
// Helpers of the server tests: a private settings store, the server's globals put back to
// their start values, and an offscreen Qt application.
#include <stdlib.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include <QApplication>

#include "Common/Registry.h"
#include "server/ServerState.h"
#include "server/varno.h"
#include "tests/support/TestSupport.h"

namespace servertest {

// Points the settings store at a fresh folder for the life of the object.
class PrivateRegistry {
 public:
  PrivateRegistry() { setenv("ORVANE_REGISTRY", dir_.path().c_str(), 1); }
  const std::string& path() const { return dir_.path(); }
 private:
  testsupport::TempDir dir_;
};

inline std::optional<uint32_t> StoredDword(const char* name) {
  uint32_t value = 0;
  if (!GetSettingDword(name, &value, kSettingsSection)) return std::nullopt;
  return value;
}

inline std::optional<std::string> StoredString(const char* name) {
  char text[kRegTextBytes] = "";
  if (!GetSettingString(name, text, kSettingsSection)) return std::nullopt;
  return std::string(text);
}

// The values start-up begins with.
inline void ResetServerGlobals() {
  std::strcpy(g_group, kDefaultGroup);
  g_port = kDefaultPort;
  g_clip = ClipRect{};
  g_rate_screen = kDefaultRateScreen;
  g_rate_pointer = kDefaultRatePointer;
  g_compression_level = kDefaultCompressionLevel;
  g_max_datagram = kDefaultMaxDatagram;
  g_max_rate = kDefaultMaxRate;
  g_refresh_cycle = kDefaultRefreshCycle;
}

// One QApplication per test process, on the offscreen platform. Never destroyed: tearing it
// down among the other static destructors at exit crashes.
inline QApplication* OffscreenApp() {
  static int argc = 1;
  static char name[] = "server_tests";
  static char* argv[] = {name, nullptr};
  static QApplication* app = nullptr;
  if (!app) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    app = new QApplication(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
  }
  return app;
}

}  // namespace servertest

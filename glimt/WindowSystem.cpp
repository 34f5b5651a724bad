#include "glimt/WindowSystem.h"

#include <cstring>

namespace {

bool IsX11(const char* name) {
  return std::strncmp(name, "xcb", 3) == 0 && (name[3] == '\0' || name[3] == ';');
}
bool IsWayland(const char* name) { return std::strncmp(name, "wayland", 7) == 0; }

}  // namespace

WindowSystemRules RulesFor(const char* platform_name) {
  const char* name = platform_name ? platform_name : "";
  if (IsX11(name)) return {true, true};
  if (IsWayland(name)) return {false, false};
  return {false, true};
}

bool RunsOnWayland(const char* qt_platform, const std::function<bool()>& wayland_session) {
  if (qt_platform && IsWayland(qt_platform)) return true;
  if (qt_platform && IsX11(qt_platform)) return false;
  return wayland_session();
}

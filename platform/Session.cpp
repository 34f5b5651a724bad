#include "platform/Session.h"

#include <strings.h>

#include <cstdlib>

bool IsWaylandSession(const char* session_type, bool wayland_display, bool x11_usable) {
  if (session_type && strcasecmp(session_type, "wayland") == 0) return true;
  if (session_type && strcasecmp(session_type, "x11") == 0) return false;
  return wayland_display && !x11_usable;
}

bool InWaylandSession(const std::function<bool()>& x11_usable) {
  const char* session = std::getenv("XDG_SESSION_TYPE");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const bool have_wayland = wayland && *wayland;
  const bool with_x11 = IsWaylandSession(session, have_wayland, true);
  if (with_x11 == IsWaylandSession(session, have_wayland, false)) return with_x11;
  return IsWaylandSession(session, have_wayland, x11_usable());
}

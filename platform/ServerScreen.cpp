// The server's choice between the X11 and the Wayland screen sources.
#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "Common/Log.h"
#include "platform/Screen.h"
#include "platform/ScreenCopy.h"

ScreenKind ChooseScreenKind(const char* setting, const char* session_type, bool wayland_display,
                            bool x11_usable) {
  if (setting && strcasecmp(setting, "x11") == 0) return ScreenKind::kX11;
  if (setting && strcasecmp(setting, "screencopy") == 0) return ScreenKind::kScreencopy;
  if (setting && strcasecmp(setting, "portal") == 0) return ScreenKind::kPortal;
  if (session_type && strcasecmp(session_type, "wayland") == 0) return ScreenKind::kScreencopy;
  if (session_type && strcasecmp(session_type, "x11") == 0) return ScreenKind::kX11;
  return wayland_display && !x11_usable ? ScreenKind::kScreencopy : ScreenKind::kX11;
}

ScreenSource* OpenServerScreen(const char* setting, ScreenChangeSink sink) {
  if (ServerScreen()) return ServerScreen();
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const bool have_wayland = wayland && *wayland;
  const char* session = std::getenv("XDG_SESSION_TYPE");
  // The X display is tried only when the choice depends on it.
  bool x11_usable = true;
  if (ChooseScreenKind(setting, session, have_wayland, false) !=
      ChooseScreenKind(setting, session, have_wayland, true))
    x11_usable = X11DisplayUsable();
  const ScreenKind kind = ChooseScreenKind(setting, session, have_wayland, x11_usable);
  switch (kind) {
    case ScreenKind::kX11:
      return OpenServerScreen();
    case ScreenKind::kScreencopy: {
      auto screen = OpenScreencopyScreen(ScreencopyOptions{}, std::move(sink));
      if (!screen) return nullptr;
      LogLine("Screen read through the compositor's screencopy\n");
      return AdoptServerScreen(std::move(screen));
    }
    case ScreenKind::kPortal:
      break;
  }
  LogLine("The ScreenCast portal source is not available in this build\n");
  return nullptr;
}

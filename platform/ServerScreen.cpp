// The server's choice between the X11 and the Wayland screen sources.
#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "platform/Screen.h"
#include "platform/ScreenCastPortal.h"
#include "platform/ScreenCopy.h"
#include "platform/Session.h"

ScreenKind ChooseScreenKind(const char* setting, const char* session_type, bool wayland_display,
                            bool x11_usable, bool screencopy_offered) {
  if (setting && strcasecmp(setting, "x11") == 0) return ScreenKind::kX11;
  if (setting && strcasecmp(setting, "screencopy") == 0) return ScreenKind::kScreencopy;
  if (setting && strcasecmp(setting, "portal") == 0) return ScreenKind::kPortal;
  const ScreenKind wayland = screencopy_offered ? ScreenKind::kScreencopy : ScreenKind::kPortal;
  return IsWaylandSession(session_type, wayland_display, x11_usable) ? wayland : ScreenKind::kX11;
}

ScreenKind ChooseServerScreenKind(const char* setting) {
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const bool have_wayland = wayland && *wayland;
  const char* session = std::getenv("XDG_SESSION_TYPE");
  const auto choose = [&](bool x11, bool screencopy) {
    return ChooseScreenKind(setting, session, have_wayland, x11, screencopy);
  };
  // The X display and the compositor are asked only when the choice depends on them.
  bool x11_usable = true;
  if (choose(false, true) != choose(true, true)) x11_usable = X11DisplayUsable();
  bool screencopy = true;
  if (choose(x11_usable, false) != choose(x11_usable, true))
    screencopy = WaylandOffersScreencopy();
  return choose(x11_usable, screencopy);
}

bool GuiDisplayUsable() {
  // Without WAYLAND_DISPLAY libwayland would try "wayland-0", which Qt does not.
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (wayland && *wayland && WaylandDisplayUsable()) || X11DisplayUsable();
}

ScreenSource* OpenServerScreen(ScreenKind kind, ScreenChangeSink sink, ScreenNote note,
                               const PortalTokenStore& tokens) {
  if (ServerScreen()) return ServerScreen();
  std::unique_ptr<ScreenSource> screen;
  switch (kind) {
    case ScreenKind::kX11:
      return OpenServerScreen(std::move(note));
    case ScreenKind::kScreencopy: {
      ScreencopyOptions options;
      options.note = note;
      screen = OpenScreencopyScreen(options, std::move(sink));
      if (screen && note) note("Screen read through the compositor's screencopy");
      break;
    }
    case ScreenKind::kPortal: {
      PortalOptions options;
      if (tokens.load) options.restore_token = tokens.load();
      options.keep_token = tokens.save;
      options.note = note;
      screen = OpenPortalScreen(options, std::move(sink));
      break;
    }
  }
  if (!screen) return nullptr;
  return AdoptServerScreen(std::move(screen));
}

#pragma once
// What the window system under the toolkit lets the viewer do. X11 lets a client move the
// pointer and place its windows; Wayland lets it do neither, so there the server's pointer is
// drawn into the picture and the compositor places the window. No X11 or Qt here.
#include <functional>

struct WindowSystemRules {
  // The local pointer is moved to follow the server's; otherwise the server's pointer is drawn
  // as an arrow over the picture.
  bool warps_pointer = true;
  // The window is placed at the broadcast area's corner, around the window manager's frame,
  // and full screen is a frameless window over the desktop. Otherwise the compositor decides
  // where it goes and full screen is the compositor's full-screen state.
  bool places_windows = true;
};

// By the toolkit's platform name (QGuiApplication::platformName()): "xcb" is X11, a name
// beginning with "wayland" (wayland, wayland-egl) is Wayland. Any other (offscreen, vnc) has
// no pointer to move but takes the window's geometry as asked.
WindowSystemRules RulesFor(const char* platform_name);

// Before the toolkit starts: true when the viewer is to run on Wayland. A platform named in
// QT_QPA_PLATFORM (qt_platform; a list separated by ';' counts by its first entry) decides
// when it is X11 or Wayland; otherwise wayland_session() does.
bool RunsOnWayland(const char* qt_platform, const std::function<bool()>& wayland_session);

#pragma once
// Which kind of desktop session the process runs in, for the programs that must choose
// between their X11 and Wayland paths. Plain functions of the environment; any thread.
#include <functional>

// True for a Wayland session: session_type (XDG_SESSION_TYPE) "wayland" says so and "x11"
// says not, in any case; otherwise a Wayland display (WAYLAND_DISPLAY set) counts only when
// no usable X display is there. A Wayland desktop's XWayland display is usable but shows
// only its own X clients, so the session type wins over it.
bool IsWaylandSession(const char* session_type, bool wayland_display, bool x11_usable);

// The same for this process's XDG_SESSION_TYPE and WAYLAND_DISPLAY. x11_usable is called
// only when the answer depends on it (it may open the X display).
bool InWaylandSession(const std::function<bool()>& x11_usable);

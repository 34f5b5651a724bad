#include "platform/WindowFrame.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <chrono>
#include <thread>

namespace {

// Xlib's default error handler exits; a window that vanished meanwhile must not end us.
int IgnoreXError(Display*, XErrorEvent*) { return 0; }

bool ReadExtents(Display* dpy, Window w, Atom atom, FrameExtents* out) {
  Atom type = None;
  int format = 0;
  unsigned long items = 0, after = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(dpy, w, atom, 0, 4, False, XA_CARDINAL, &type, &format, &items,
                         &after, &data) != Success)
    return false;
  const bool ok = type == XA_CARDINAL && format == 32 && items == 4 && data;
  if (ok) {
    const long* v = reinterpret_cast<const long*>(data);  // format 32 comes as long
    *out = {static_cast<int>(v[0]), static_cast<int>(v[1]), static_cast<int>(v[2]),
            static_cast<int>(v[3])};
  }
  if (data) XFree(data);
  return ok;
}

bool HasWindowManager(Display* dpy, Window root) {
  Atom check = XInternAtom(dpy, "_NET_SUPPORTING_WM_CHECK", False);
  Atom type = None;
  int format = 0;
  unsigned long items = 0, after = 0;
  unsigned char* data = nullptr;
  bool found = false;
  if (XGetWindowProperty(dpy, root, check, 0, 1, False, XA_WINDOW, &type, &format, &items,
                         &after, &data) == Success &&
      type == XA_WINDOW && items == 1)
    found = true;
  if (data) XFree(data);
  return found;
}

}  // namespace

FrameExtents QueryFrameExtents(unsigned long window, int wait_ms) {
  FrameExtents extents;
  Display* dpy = XOpenDisplay(nullptr);
  if (!dpy) return extents;
  XErrorHandler old = XSetErrorHandler(IgnoreXError);
  const Window root = DefaultRootWindow(dpy);
  if (HasWindowManager(dpy, root)) {
    const Atom frame = XInternAtom(dpy, "_NET_FRAME_EXTENTS", False);
    if (!ReadExtents(dpy, window, frame, &extents)) {
      XEvent ev{};
      ev.xclient.type = ClientMessage;
      ev.xclient.window = window;
      ev.xclient.message_type = XInternAtom(dpy, "_NET_REQUEST_FRAME_EXTENTS", False);
      ev.xclient.format = 32;
      XSendEvent(dpy, root, False, SubstructureNotifyMask | SubstructureRedirectMask, &ev);
      XFlush(dpy);
      const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
      while (!ReadExtents(dpy, window, frame, &extents) &&
             std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  XSync(dpy, False);
  XSetErrorHandler(old);
  XCloseDisplay(dpy);
  return extents;
}

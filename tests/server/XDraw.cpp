#include "tests/server/XDraw.h"

#include <X11/Xlib.h>

bool FillRootRectangle(const std::string& display, int x, int y, int w, int h,
                       unsigned long pixel) {
  Display* d = XOpenDisplay(display.c_str());
  if (!d) return false;
  Window root = DefaultRootWindow(d);
  GC gc = XCreateGC(d, root, 0, nullptr);
  XSetForeground(d, gc, pixel);
  XFillRectangle(d, root, gc, x, y, static_cast<unsigned>(w), static_cast<unsigned>(h));
  XSync(d, False);
  XFreeGC(d, gc);
  XCloseDisplay(d);
  return true;
}

#include "platform/PointerWarp.h"

#include <X11/Xlib.h>

PointerWarp::PointerWarp() : display_(XOpenDisplay(nullptr)) {}

PointerWarp::~PointerWarp() {
  if (display_) XCloseDisplay(display_);
}

bool PointerWarp::MoveTo(int x, int y) {
  if (!display_) return false;
  XWarpPointer(display_, None, DefaultRootWindow(display_), 0, 0, 0, 0, x, y);
  XFlush(display_);
  return true;
}

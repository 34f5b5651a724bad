#include "platform/ViewerDisplay.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <wayland-client.h>
#include <cerrno>

#include "platform/LastError.h"

DisplayProbe::~DisplayProbe() { Close(); }

void DisplayProbe::Close() {
  if (display_) XCloseDisplay(static_cast<Display*>(display_));
  display_ = nullptr;
}

bool DisplayProbe::Query(DisplayFormat* f) {
  Close();
  Display* dpy = XOpenDisplay(nullptr);
  if (!dpy) {
    SetLastError(ECONNREFUSED);
    return false;
  }
  const int screen = DefaultScreen(dpy);
  f->depth = DefaultDepth(dpy, screen);
  f->width = DisplayWidth(dpy, screen);
  f->height = DisplayHeight(dpy, screen);
  f->bits_per_pixel = f->depth;
  const Visual* visual = DefaultVisual(dpy, screen);
  f->red_mask = visual->red_mask;
  f->green_mask = visual->green_mask;
  f->blue_mask = visual->blue_mask;
  int count = 0;
  if (XPixmapFormatValues* formats = XListPixmapFormats(dpy, &count)) {
    for (int i = 0; i < count; ++i)
      if (formats[i].depth == f->depth) f->bits_per_pixel = formats[i].bits_per_pixel;
    XFree(formats);
  }
  display_ = dpy;
  return true;
}

bool WaylandCompositorReachable(const char* display_name) {
  errno = 0;
  wl_display* display = wl_display_connect(display_name);
  if (!display) {
    SetLastError(errno ? errno : ECONNREFUSED);
    return false;
  }
  // A compositor that accepted the socket but is not serving (stopped, ending) fails here.
  const bool answered = wl_display_roundtrip(display) >= 0;
  if (!answered) SetLastError(wl_display_get_error(display) ? wl_display_get_error(display)
                                                            : ECONNRESET);
  wl_display_disconnect(display);
  return answered;
}

DisplayFormat WaylandDisplayFormat(int width, int height) {
  DisplayFormat f;
  f.bits_per_pixel = 32;
  f.depth = 24;
  f.width = width;
  f.height = height;
  f.red_mask = 0xFF0000;
  f.green_mask = 0x00FF00;
  f.blue_mask = 0x0000FF;
  return f;
}

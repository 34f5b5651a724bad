#include "platform/ViewerDisplay.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
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
  int count = 0;
  if (XPixmapFormatValues* formats = XListPixmapFormats(dpy, &count)) {
    for (int i = 0; i < count; ++i)
      if (formats[i].depth == f->depth) f->bits_per_pixel = formats[i].bits_per_pixel;
    XFree(formats);
  }
  f->color_table.clear();
  if (f->bits_per_pixel == 8) {
    std::vector<XColor> colors(256);
    for (int i = 0; i < 256; ++i) colors[i].pixel = static_cast<unsigned long>(i);
    const int cells = DisplayCells(dpy, screen);
    XQueryColors(dpy, DefaultColormap(dpy, screen), colors.data(), cells < 256 ? cells : 256);
    for (int i = 0; i < 256; ++i)
      f->color_table.push_back(0xff000000u | ((colors[i].red >> 8u) << 16) |
                               ((colors[i].green >> 8u) << 8) | (colors[i].blue >> 8u));
  }
  display_ = dpy;
  return true;
}

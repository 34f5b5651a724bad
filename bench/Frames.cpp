#include "bench/Frames.h"

#include <X11/Xutil.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>

namespace bench {

void DrawTextFrame(Display* d) {
  Window root = DefaultRootWindow(d);
  GC gc = XCreateGC(d, root, 0, nullptr);
  XSetForeground(d, gc, 0xffffff);
  XFillRectangle(d, root, gc, 0, 0, kW, kH);
  XSetForeground(d, gc, 0x202020);
  const char* line = "The quick brown fox jumps over the lazy dog 0123456789 (){}[] int main(void);";
  std::mt19937 rng(7);
  for (int y = 14; y < kH; y += 15) {
    const int n = static_cast<int>(rng() % strlen(line)) + 10;
    XDrawString(d, root, gc, 8, y, line, std::min<int>(n, static_cast<int>(strlen(line))));
    XDrawString(d, root, gc, 980, y, line + 5, static_cast<int>(strlen(line)) - 5);
  }
  XSetForeground(d, gc, 0x3060c0);
  XFillRectangle(d, root, gc, 0, 0, kW, 24);  // a title bar
  XFreeGC(d, gc);
  XSync(d, False);
}

void DrawPhotoFrame(Display* d) {
  Window root = DefaultRootWindow(d);
  GC gc = XCreateGC(d, root, 0, nullptr);
  XImage* img = XCreateImage(d, DefaultVisual(d, 0), 24, ZPixmap, 0,
                             static_cast<char*>(malloc(static_cast<std::size_t>(kW) * kH * 4)),
                             kW, kH, 32, 0);
  std::mt19937 rng(11);
  // Smooth shapes with sensor-like noise: what a photograph gives a fast compressor.
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) {
      const int n = static_cast<int>(rng() % 24) - 12;
      const int r = std::clamp((x * 255) / kW + n, 0, 255);
      const int g = std::clamp(static_cast<int>(128 + 100 * std::sin(x / 90.0) * std::cos(y / 70.0)) + n, 0, 255);
      const int b = std::clamp((y * 255) / kH - n, 0, 255);
      XPutPixel(img, x, y, static_cast<unsigned long>((r << 16) | (g << 8) | b));
    }
  }
  XPutImage(d, root, gc, img, 0, 0, 0, 0, kW, kH);
  XDestroyImage(img);
  XFreeGC(d, gc);
  XSync(d, False);
}

}  // namespace bench

// Measures what a viewer user sees: draws on the server's display and watches the viewer's.
//   glimt_probe latency SERVER_DISPLAY VIEWER_DISPLAY COUNT
//     COUNT colour changes of a 100x100 window at (50, 50) of the server's screen; for each,
//     the time until the viewer's screen shows the colour at (100, 100). Prints the median and
//     95th percentile in ms. The viewer must show the server 1:1 from (0, 0).
//   glimt_probe animate SERVER_DISPLAY SECONDS
//     redraws a moving pattern over the whole server screen every 20 ms.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

Window MakeWindow(Display* d, int x, int y, int w, int h) {
  XSetWindowAttributes a{};
  a.override_redirect = True;
  a.background_pixel = BlackPixel(d, DefaultScreen(d));
  Window win = XCreateWindow(d, DefaultRootWindow(d), x, y, w, h, 0, CopyFromParent, InputOutput,
                             CopyFromParent, CWOverrideRedirect | CWBackPixel, &a);
  XMapRaised(d, win);
  XSync(d, False);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  return win;
}

unsigned long ViewerPixel(Display* v, int x, int y) {
  XImage* img = XGetImage(v, DefaultRootWindow(v), x, y, 1, 1, AllPlanes, ZPixmap);
  if (!img) return ~0ul;
  const unsigned long p = XGetPixel(img, 0, 0) & 0xffffff;
  XDestroyImage(img);
  return p;
}

int Latency(const char* server, const char* viewer, int count) {
  Display* s = XOpenDisplay(server);
  Display* v = XOpenDisplay(viewer);
  if (!s || !v) return 2;
  Window win = MakeWindow(s, 50, 50, 100, 100);
  GC gc = XCreateGC(s, win, 0, nullptr);
  std::vector<double> ms;
  std::srand(7);
  for (int i = 0; i < count; ++i) {
    const unsigned long colour = 0x102030ul + static_cast<unsigned long>(i) * 0x050301ul % 0xefefef;
    XSetForeground(s, gc, colour);
    XFillRectangle(s, win, gc, 0, 0, 100, 100);
    XSync(s, False);
    const auto t0 = Clock::now();
    bool seen = false;
    while (Clock::now() - t0 < std::chrono::seconds(3)) {
      if (ViewerPixel(v, 100, 100) == (colour & 0xffffff)) {
        seen = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    if (seen)
      ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    else
      std::fprintf(stderr, "change %d not seen in 3 s: server %06lx, viewer %06lx, wanted %06lx\n",
                   i, ViewerPixel(s, 100, 100), ViewerPixel(v, 100, 100), colour & 0xffffff);
    // Rest a random part of a second so the changes fall anywhere in the server's period.
    std::this_thread::sleep_for(std::chrono::milliseconds(50 + std::rand() % 250));
  }
  if (ms.empty()) {
    std::printf("no change reached the viewer\n");
    return 1;
  }
  std::sort(ms.begin(), ms.end());
  std::printf("changes %d seen %zu median %.1f ms p95 %.1f ms max %.1f ms\n", count, ms.size(),
              ms[ms.size() / 2], ms[std::min(ms.size() - 1, ms.size() * 95 / 100)], ms.back());
  return 0;
}

int Animate(const char* server, int seconds) {
  Display* s = XOpenDisplay(server);
  if (!s) return 2;
  const int w = DisplayWidth(s, DefaultScreen(s)), h = DisplayHeight(s, DefaultScreen(s));
  Window win = MakeWindow(s, 0, 0, w, h);
  GC gc = XCreateGC(s, win, 0, nullptr);
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  for (int frame = 0; Clock::now() < end; ++frame) {
    for (int y = 0; y < h; y += 8) {
      XSetForeground(s, gc, static_cast<unsigned long>((y * 3 + frame * 5) & 0xff) << 16 |
                                static_cast<unsigned long>((y + frame * 3) & 0xff) << 8 |
                                static_cast<unsigned long>(frame & 0xff));
      XFillRectangle(s, win, gc, (frame * 4 + y) % 64, y, w, 8);
    }
    XSync(s, False);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "latency") == 0)
    return Latency(argv[2], argv[3], std::atoi(argv[4]));
  if (argc == 4 && std::strcmp(argv[1], "animate") == 0)
    return Animate(argv[2], std::atoi(argv[3]));
  std::fprintf(stderr, "usage: glimt_probe latency SERVER VIEWER COUNT | animate SERVER SECONDS\n");
  return 2;
}

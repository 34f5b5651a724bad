#include "tests/support/Display.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cstring>


namespace testsupport {

uint32_t Screenshot::At(int x, int y) const {
  if (x < 0 || y < 0 || x >= width || y >= height) return 0xFFFFFFFF;
  const std::size_t i = (static_cast<std::size_t>(y) * width + x) * 3;
  if (i + 2 >= rgb.size()) return 0xFFFFFFFF;
  return (uint32_t{static_cast<uint8_t>(rgb[i])} << 16) |
         (uint32_t{static_cast<uint8_t>(rgb[i + 1])} << 8) | static_cast<uint8_t>(rgb[i + 2]);
}

Screenshot Grab(const std::string& display, int width, int height) {
  Screenshot s{width, height, {}};
  Run("xwd -root -silent -display " + display + " | convert xwd:- -depth 8 rgb:-", &s.rgb);
  return s;
}

Screenshot GrabExact(const std::string& display) {
  Screenshot s;
  Display* d = XOpenDisplay(display.c_str());
  if (!d) return s;
  const int screen = DefaultScreen(d);
  s.width = DisplayWidth(d, screen);
  s.height = DisplayHeight(d, screen);
  const Visual* v = DefaultVisual(d, screen);
  XImage* image = XGetImage(d, DefaultRootWindow(d), 0, 0, static_cast<unsigned>(s.width),
                            static_cast<unsigned>(s.height), AllPlanes, ZPixmap);
  const unsigned long masks[3] = {v->red_mask, v->green_mask, v->blue_mask};
  if (image && masks[0] && masks[1] && masks[2]) {  // true colour only
    s.rgb.resize(static_cast<std::size_t>(s.width) * s.height * 3);
    for (int y = 0; y < s.height; ++y)
      for (int x = 0; x < s.width; ++x) {
        const unsigned long p = XGetPixel(image, x, y);
        for (int c = 0; c < 3; ++c) {
          const unsigned long max = masks[c] >> __builtin_ctzl(masks[c]);
          const unsigned long value = (p & masks[c]) >> __builtin_ctzl(masks[c]);
          s.rgb[(static_cast<std::size_t>(y) * s.width + x) * 3 + c] =
              static_cast<char>((value * 255 * 2 + max) / (2 * max));
        }
      }
  }
  if (image) XDestroyImage(image);
  XCloseDisplay(d);
  return s;
}

long Differences(const Screenshot& a, const Screenshot& b) {
  if (a.width != b.width || a.height != b.height ||
      a.rgb.size() != static_cast<std::size_t>(a.width) * a.height * 3 || a.rgb.size() != b.rgb.size())
    return -1;
  long n = 0;
  for (std::size_t i = 0; i < a.rgb.size(); i += 3) n += std::memcmp(&a.rgb[i], &b.rgb[i], 3) != 0;
  return n;
}

bool FillRootRectangle(const std::string& display, int x, int y, int w, int h,
                       unsigned long pixel) {
  Display* d = XOpenDisplay(display.c_str());
  if (!d) return false;
  const Window root = DefaultRootWindow(d);
  GC gc = XCreateGC(d, root, 0, nullptr);
  XSetForeground(d, gc, pixel);
  XFillRectangle(d, root, gc, x, y, static_cast<unsigned>(w), static_cast<unsigned>(h));
  XSync(d, False);
  XFreeGC(d, gc);
  XCloseDisplay(d);
  return true;
}

bool DrawTerminals(const std::string& display, int seed) {
  Display* d = XOpenDisplay(display.c_str());
  if (!d) return false;
  const Window root = DefaultRootWindow(d);
  const int w = DisplayWidth(d, DefaultScreen(d)), h = DisplayHeight(d, DefaultScreen(d));
  XFontStruct* font = XLoadQueryFont(d, "fixed");
  GC gc = XCreateGC(d, root, 0, nullptr);
  if (font) XSetFont(d, gc, font->fid);
  const Colormap map = DefaultColormap(d, DefaultScreen(d));
  auto pixel = [&](unsigned r, unsigned g, unsigned b) {
    XColor c{};
    c.red = static_cast<unsigned short>(r * 257);
    c.green = static_cast<unsigned short>(g * 257);
    c.blue = static_cast<unsigned short>(b * 257);
    XAllocColor(d, map, &c);
    return c.pixel;
  };
  // Paper and ink of the panes: light and dark terminals, one blue, one with coloured ink.
  const unsigned panes[][6] = {{255, 255, 255, 0, 0, 0},     {0, 0, 0, 200, 200, 200},
                               {0, 32, 96, 255, 255, 160},   {250, 240, 220, 160, 0, 40},
                               {40, 40, 40, 80, 255, 80},    {255, 255, 255, 0, 0, 200}};
  const int strip = std::max(8, h / 20), cols = 3, rows = 2;
  unsigned state = static_cast<unsigned>(seed) * 2654435761u + 12345u;
  auto next = [&] { return state = state * 1103515245u + 12345u, (state >> 16) & 0x7fff; };
  for (int p = 0; p < cols * rows; ++p) {
    const unsigned* c = panes[(p + seed) % 6];
    const int x0 = p % cols * w / cols, x1 = (p % cols + 1) * w / cols;
    const int y0 = p / cols * (h - strip) / rows, y1 = (p / cols + 1) * (h - strip) / rows;
    XSetForeground(d, gc, pixel(c[0], c[1], c[2]));
    XFillRectangle(d, root, gc, x0, y0, static_cast<unsigned>(x1 - x0),
                   static_cast<unsigned>(y1 - y0));
    XSetForeground(d, gc, pixel(c[3], c[4], c[5]));
    // Ragged lines of words, mostly lower case, now and then an empty line, as shell
    // output and source code look.
    const int columns = (x1 - x0 - 12) / 6;
    for (int y = y0 + 13; y + 2 < y1; y += 13) {
      std::string line;
      const int length = next() % 8 == 0 ? 0 : columns * (30 + static_cast<int>(next() % 71)) / 100;
      while (static_cast<int>(line.size()) < length) {
        const int word = 1 + static_cast<int>(next() % 9);
        for (int i = 0; i < word; ++i) {
          const unsigned k = next() % 40;
          line += static_cast<char>(k < 26 ? 'a' + k : k < 32 ? 'A' + k * 3 % 26
                                    : k < 36 ? '0' + k % 10 : "._-/:(){}"[k % 9]);
        }
        line += ' ';
      }
      line.resize(static_cast<std::size_t>(std::min(length, columns)));
      XDrawString(d, root, gc, x0 + 4, y - 2, line.data(), static_cast<int>(line.size()));
    }
  }
  // Colour steps: every channel through its range, so each level of a conversion shows.
  for (int x = 0; x < w; x += 4) {
    const unsigned v = static_cast<unsigned>(x * 255 / std::max(1, w - 1));
    const unsigned shade = static_cast<unsigned>((v + seed * 40) % 256);
    XSetForeground(d, gc, pixel(shade, 255 - shade, (shade * 3) % 256));
    XFillRectangle(d, root, gc, x, h - strip, 4, static_cast<unsigned>(strip / 2));
    XSetForeground(d, gc, pixel(v, v, v));
    XFillRectangle(d, root, gc, x, h - strip / 2, 4, static_cast<unsigned>(strip - strip / 2));
  }
  XSync(d, False);
  if (font) XFreeFont(d, font);
  XFreeGC(d, gc);
  XCloseDisplay(d);
  return font != nullptr;
}

std::string Shell(const std::string& command) {
  std::string out;
  Run(command, &out);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

std::string VisibleWindow(const std::string& display, const std::string& name) {
  // Bounded: a wedged display fails the test's own time limit rather than hanging it.
  return Shell("DISPLAY=" + display + " timeout 10 xdotool search --onlyvisible --name '^" + name +
               "$' 2>/dev/null | head -1");
}

void KeyInto(const std::string& display, const std::string& name, const char* key) {
  const std::string id = VisibleWindow(display, name);
  Run("DISPLAY=" + display + " timeout 10 xdotool windowfocus " + id +
      " 2>/dev/null; sleep 0.2; DISPLAY=" + display + " timeout 10 xdotool key " + key);
}

Trayer::Trayer(const Xvfb& x) {
  for (int attempt = 0; attempt < 3 && !ok_; ++attempt) {
    child_ = std::make_unique<Child>(
        std::vector<std::string>{"trayer", "--edge", "top", "--align", "right", "--widthtype",
                                 "pixel", "--width", "64", "--heighttype", "pixel", "--height",
                                 "24"},
        std::vector<std::string>{"DISPLAY=" + x.display()});
    ok_ = WaitFor([&] {
      return !Shell("DISPLAY=" + x.display() +
                    " timeout 10 xdotool search --classname '^panel$' 2>/dev/null").empty();
    }, std::chrono::seconds(3));
  }
}

}  // namespace testsupport

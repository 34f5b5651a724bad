#include "tests/support/Display.h"

#include <X11/Xlib.h>

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

#include "tests/support/ScreenContent.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>

namespace testsupport {

namespace {

const char kLine[] = "The quick brown fox jumps over the lazy dog 0123456789 (){}[] int main(void);";

// One connection for one drawing, synchronised before it closes.
class Drawing {
 public:
  explicit Drawing(const std::string& display) : d_(XOpenDisplay(display.c_str())) {
    if (d_) gc_ = XCreateGC(d_, DefaultRootWindow(d_), 0, nullptr);
  }
  ~Drawing() {
    if (!d_) return;
    XSync(d_, False);
    XFreeGC(d_, gc_);
    XCloseDisplay(d_);
  }
  bool ok() const { return d_ != nullptr; }
  Display* d() const { return d_; }
  GC gc() const { return gc_; }
  Window root() const { return DefaultRootWindow(d_); }

 private:
  Display* d_;
  GC gc_ = nullptr;
};

void Line(Drawing& g, int y, int width, std::mt19937& rng) {
  const int n = static_cast<int>(std::strlen(kLine));
  XSetForeground(g.d(), g.gc(), 0xffffff);
  XFillRectangle(g.d(), g.root(), g.gc(), 0, y - 12, static_cast<unsigned>(width), 15);
  XSetForeground(g.d(), g.gc(), 0x202020);
  for (int x = 8; x < width - 200; x += 972) {
    const int skip = static_cast<int>(rng() % 20);
    XDrawString(g.d(), g.root(), g.gc(), x, y, kLine + skip, n - skip);
  }
}

}  // namespace

bool DrawTextScreen(const std::string& display, int width, int height, unsigned seed) {
  Drawing g(display);
  if (!g.ok()) return false;
  XSetForeground(g.d(), g.gc(), 0xffffff);
  XFillRectangle(g.d(), g.root(), g.gc(), 0, 0, static_cast<unsigned>(width), static_cast<unsigned>(height));
  std::mt19937 rng(seed);
  for (int y = 38; y < height; y += 15) Line(g, y, width, rng);
  XSetForeground(g.d(), g.gc(), 0x3060c0);
  XFillRectangle(g.d(), g.root(), g.gc(), 0, 0, static_cast<unsigned>(width), 24);  // a title bar
  return true;
}

bool DrawTextLine(const std::string& display, int y, int width, unsigned seed) {
  Drawing g(display);
  if (!g.ok()) return false;
  std::mt19937 rng(seed);
  Line(g, y, width, rng);
  return true;
}

bool DrawPhotoScreen(const std::string& display, int width, int height, unsigned seed) {
  Drawing g(display);
  if (!g.ok()) return false;
  Display* d = g.d();
  XImage* img = XCreateImage(d, DefaultVisual(d, DefaultScreen(d)), 24, ZPixmap, 0,
                             static_cast<char*>(std::malloc(static_cast<std::size_t>(width) * height * 4)),
                             static_cast<unsigned>(width), static_cast<unsigned>(height), 32, 0);
  if (!img) return false;
  std::mt19937 rng(seed);
  const double phase = seed * 0.37;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const int n = static_cast<int>(rng() % 24) - 12;
      const int r = std::clamp((x * 255) / width + n, 0, 255);
      const int gr = std::clamp(static_cast<int>(128 + 100 * std::sin(x / 90.0 + phase) * std::cos(y / 70.0)) + n, 0, 255);
      const int b = std::clamp((y * 255) / height - n, 0, 255);
      XPutPixel(img, x, y, static_cast<unsigned long>((r << 16) | (gr << 8) | b));
    }
  }
  XPutImage(d, g.root(), g.gc(), img, 0, 0, 0, 0, static_cast<unsigned>(width), static_cast<unsigned>(height));
  XDestroyImage(img);
  return true;
}

struct PatchPainter::State {
  explicit State(const std::string& display) : g(display) {}
  Drawing g;
  XImage* patch = nullptr;
  int w = 0, h = 0;
  std::mt19937 rng;
};

PatchPainter::PatchPainter(const std::string& display, int patch_width, int patch_height,
                           unsigned seed)
    : s_(std::make_unique<State>(display)) {
  s_->w = patch_width;
  s_->h = patch_height;
  s_->rng.seed(seed);
  if (!s_->g.ok()) return;
  Display* d = s_->g.d();
  s_->patch = XCreateImage(d, DefaultVisual(d, DefaultScreen(d)), 24, ZPixmap, 0,
                           static_cast<char*>(std::malloc(static_cast<std::size_t>(patch_width) * patch_height * 4)),
                           static_cast<unsigned>(patch_width), static_cast<unsigned>(patch_height), 32, 0);
}

PatchPainter::~PatchPainter() {
  if (s_->patch) XDestroyImage(s_->patch);
}

bool PatchPainter::ok() const { return s_->patch != nullptr; }

void PatchPainter::Paint(int screen_width, int screen_height, int* x, int* y) {
  for (int py = 0; py < s_->h; ++py)
    for (int px = 0; px < s_->w; ++px) XPutPixel(s_->patch, px, py, s_->rng() & 0xffffff);
  *x = static_cast<int>(s_->rng() % static_cast<unsigned>(screen_width - s_->w));
  *y = static_cast<int>(s_->rng() % static_cast<unsigned>(screen_height - s_->h));
  XPutImage(s_->g.d(), s_->g.root(), s_->g.gc(), s_->patch, 0, 0, *x, *y,
            static_cast<unsigned>(s_->w), static_cast<unsigned>(s_->h));
  XSync(s_->g.d(), False);
}

void PatchPainter::MovePointer(int x, int y) {
  XWarpPointer(s_->g.d(), None, s_->g.root(), 0, 0, 0, 0, x, y);
  XSync(s_->g.d(), False);
}

std::vector<uint8_t> RootPixels(const std::string& display, int width, int height) {
  Drawing g(display);
  if (!g.ok()) return {};
  XImage* img = XGetImage(g.d(), g.root(), 0, 0, static_cast<unsigned>(width),
                          static_cast<unsigned>(height), AllPlanes, ZPixmap);
  if (!img) return {};
  std::vector<uint8_t> out(static_cast<std::size_t>(width) * height * 4, 0);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const unsigned long p = XGetPixel(img, x, y);
      uint8_t* o = &out[(static_cast<std::size_t>(y) * width + x) * 4];
      o[0] = static_cast<uint8_t>(p);
      o[1] = static_cast<uint8_t>(p >> 8);
      o[2] = static_cast<uint8_t>(p >> 16);
    }
  XDestroyImage(img);
  return out;
}

long PixelsDiffering(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size() || a.empty()) return -1;
  long n = 0;
  for (std::size_t i = 0; i < a.size(); i += 4) n += std::memcmp(&a[i], &b[i], 3) != 0;
  return n;
}

}  // namespace testsupport

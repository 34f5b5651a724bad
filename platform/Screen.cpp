#include "platform/Screen.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "Common/Log.h"
#include "Common/UpdateHeader.h"
#include "platform/XErrorTrap.h"

static const char kModule[] = "platform/Screen";

namespace {

class X11Screen final : public ScreenSource {
 public:
  explicit X11Screen(Display* dpy) : dpy_(dpy) {
    screen_ = DefaultScreen(dpy_);
    root_ = RootWindow(dpy_, screen_);
    visual_ = DefaultVisual(dpy_, screen_);
    depth_ = DefaultDepth(dpy_, screen_);
    bpp_ = depth_;
    int n = 0;
    if (XPixmapFormatValues* f = XListPixmapFormats(dpy_, &n)) {
      for (int i = 0; i < n; ++i)
        if (f[i].depth == depth_) bpp_ = f[i].bits_per_pixel;
      XFree(f);
    }
    swap_ = ImageByteOrder(dpy_) == MSBFirst;
    RegisterTrappedDisplay(dpy_);
    ReadGeometry();
    int major, minor;
    Bool pixmaps;
    use_shm_ = XShmQueryVersion(dpy_, &major, &minor, &pixmaps);
    if (!use_shm_) LogLine("No MIT-SHM on the display: the screen is read with XGetImage");
  }

  ~X11Screen() override {
    DropSegment();
    UnregisterTrappedDisplay(dpy_);
    XCloseDisplay(dpy_);
  }

  Rect ClipBox() override {
    ReadGeometry();
    return Rect{0, 0, width_, height_};
  }

  int BitsPerPixel() override { return bpp_; }

  bool Capture(const Rect& r, uint8_t* out, std::size_t stride) override {
    if (r.IsEmpty()) return true;
    if (bpp_ % 8 != 0) return false;  // no X server of this century offers such a root
    const std::size_t rows = static_cast<std::size_t>(r.Height());
    const Rect on = Intersection(r, Rect{0, 0, width_, height_});
    const bool partial = on != r;
    if (partial) memset(out, 0, rows * stride);
    if (on.IsEmpty()) return true;
    XImage* img = Grab(on);
    if (!img) {
      // The root may have changed size under us; the next capture uses the new size.
      ReadGeometry();
      return false;
    }
    const std::size_t pixel_bytes = static_cast<std::size_t>(bpp_ / 8);
    const std::size_t on_bytes = static_cast<std::size_t>(on.Width()) * pixel_bytes;
    uint8_t* dst = out + static_cast<std::size_t>(on.top - r.top) * stride +
                   static_cast<std::size_t>(on.left - r.left) * pixel_bytes;
    const uint8_t* src = reinterpret_cast<const uint8_t*>(img->data);
    for (int32_t y = on.top; y < on.bottom; ++y) {
      CopyRow(dst, src, static_cast<std::size_t>(on.Width()), on_bytes);
      if (!partial && stride > on_bytes) memset(dst + on_bytes, 0, stride - on_bytes);
      dst += stride;
      src += img->bytes_per_line;
    }
    Release(img);
    return true;
  }

  bool PointerPosition(int32_t* x, int32_t* y) override {
    Window root, child;
    int rx, ry, wx, wy;
    unsigned mask;
    if (!XQueryPointer(dpy_, root_, &root, &child, &rx, &ry, &wx, &wy, &mask)) return false;
    *x = rx;
    *y = ry;
    return true;
  }

 private:
  void ReadGeometry() {
    Window root;
    int x, y;
    unsigned w, h, border, depth;
    if (XGetGeometry(dpy_, root_, &root, &x, &y, &w, &h, &border, &depth)) {
      width_ = static_cast<int32_t>(w);
      height_ = static_cast<int32_t>(h);
    }
  }

  // Copies one row of n pixels (bytes bytes); at 32 bpp the padding byte becomes 0, and an
  // MSBFirst image is turned into the LSBFirst layout the wire carries.
  void CopyRow(uint8_t* dst, const uint8_t* src, std::size_t n, std::size_t bytes) const {
    if (bpp_ == 32) {
      for (std::size_t i = 0; i < n; ++i, src += 4, dst += 4) {
        if (swap_) {
          dst[0] = src[3]; dst[1] = src[2]; dst[2] = src[1]; dst[3] = 0;
        } else {
          dst[0] = src[0]; dst[1] = src[1]; dst[2] = src[2]; dst[3] = 0;
        }
      }
    } else if (bpp_ == 16 && swap_) {
      for (std::size_t i = 0; i < n; ++i, src += 2, dst += 2) {
        dst[0] = src[1];
        dst[1] = src[0];
      }
    } else if (bpp_ == 24 && swap_) {
      for (std::size_t i = 0; i < n; ++i, src += 3, dst += 3) {
        dst[0] = src[2]; dst[1] = src[1]; dst[2] = src[0];
      }
    } else {
      memcpy(dst, src, bytes);
    }
  }

  // The segment is made once at the root's size and reused for every capture.
  bool EnsureSegment() {
    // ZPixmap rows are padded to 32 bits by the server.
    const std::size_t row = ((static_cast<std::size_t>(width_) * static_cast<std::size_t>(bpp_) + 31) / 32) * 4;
    const std::size_t need = row * static_cast<std::size_t>(height_);
    if (shm_attached_ && shm_size_ >= need) return true;
    DropSegment();
    shm_.shmid = shmget(IPC_PRIVATE, need, IPC_CREAT | 0600);
    if (shm_.shmid < 0) return false;
    shm_.shmaddr = static_cast<char*>(shmat(shm_.shmid, nullptr, 0));
    if (shm_.shmaddr == reinterpret_cast<char*>(-1)) {
      shmctl(shm_.shmid, IPC_RMID, nullptr);
      shm_.shmaddr = nullptr;
      return false;
    }
    shm_.readOnly = False;
    unsigned long errors = TrappedErrorCount(dpy_);
    bool ok = XShmAttach(dpy_, &shm_);
    XSync(dpy_, False);
    // Marked for removal at once: the segment goes with the process however it ends.
    shmctl(shm_.shmid, IPC_RMID, nullptr);
    if (!ok || TrappedErrorCount(dpy_) != errors) {
      shmdt(shm_.shmaddr);
      shm_.shmaddr = nullptr;
      return false;
    }
    shm_attached_ = true;
    shm_size_ = need;
    return true;
  }

  void DropSegment() {
    if (shm_attached_) {
      XShmDetach(dpy_, &shm_);
      XSync(dpy_, False);
    }
    if (shm_.shmaddr) shmdt(shm_.shmaddr);
    shm_.shmaddr = nullptr;
    shm_attached_ = false;
    shm_size_ = 0;
  }

  XImage* Grab(const Rect& on) {
    const unsigned w = static_cast<unsigned>(on.Width()), h = static_cast<unsigned>(on.Height());
    if (use_shm_ && !EnsureSegment()) {
      use_shm_ = false;
      LogLine("MIT-SHM segment not usable: the screen is read with XGetImage");
    }
    if (use_shm_) {
      XImage* img = XShmCreateImage(dpy_, visual_, static_cast<unsigned>(depth_), ZPixmap,
                                    shm_.shmaddr, &shm_, w, h);
      if (img) {
        if (XShmGetImage(dpy_, root_, img, on.left, on.top, AllPlanes)) {
          shm_image_ = true;
          return img;
        }
        img->data = nullptr;
        XDestroyImage(img);
      }
      // One failed grab (X error) drops the strip; the segment stays for the next one.
      return nullptr;
    }
    shm_image_ = false;
    return XGetImage(dpy_, root_, on.left, on.top, w, h, AllPlanes, ZPixmap);
  }

  void Release(XImage* img) {
    if (shm_image_) img->data = nullptr;  // the segment is not the image's to free
    XDestroyImage(img);
  }

  Display* dpy_;
  int screen_ = 0;
  Window root_ = 0;
  Visual* visual_ = nullptr;
  int depth_ = 0, bpp_ = 0;
  bool swap_ = false;
  int32_t width_ = 0, height_ = 0;
  bool use_shm_ = false, shm_attached_ = false, shm_image_ = false;
  XShmSegmentInfo shm_{};
  std::size_t shm_size_ = 0;
};

std::once_flag g_server_once;
ScreenSource* g_server_screen = nullptr;

}  // namespace

std::unique_ptr<ScreenSource> OpenX11Screen(const char* display_name) {
  Display* dpy = XOpenDisplay(display_name);
  if (!dpy) return nullptr;
  InstallXErrorTrap();
  return std::make_unique<X11Screen>(dpy);
}

ScreenSource* OpenServerScreen() {
  std::call_once(g_server_once, [] { g_server_screen = OpenX11Screen(nullptr).release(); });
  return g_server_screen;
}

ScreenSource* ServerScreen() { return g_server_screen; }

ScreenSource* AdoptServerScreen(std::unique_ptr<ScreenSource> screen) {
  std::call_once(g_server_once, [&] { g_server_screen = screen.release(); });
  return g_server_screen;
}

bool X11DisplayUsable() {
  Display* dpy = XOpenDisplay(nullptr);
  if (!dpy) return false;
  XCloseDisplay(dpy);
  return true;
}

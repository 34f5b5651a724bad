#include "platform/WindowQuery.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <memory>

#include "platform/XErrorTrap.h"

namespace {

class X11Windows final : public WindowQuery {
 public:
  explicit X11Windows(Display* dpy) : dpy_(dpy) {
    RegisterTrappedDisplay(dpy_);
    root_ = DefaultRootWindow(dpy_);
    wm_state_ = XInternAtom(dpy_, "WM_STATE", False);
    net_wm_state_ = XInternAtom(dpy_, "_NET_WM_STATE", False);
    hidden_ = XInternAtom(dpy_, "_NET_WM_STATE_HIDDEN", False);
  }
  ~X11Windows() override {
    UnregisterTrappedDisplay(dpy_);
    XCloseDisplay(dpy_);
  }

  // A window that vanished between the notification and the query gives BadWindow, which the
  // trap swallows; every call below then just reports failure.
  bool Exists(unsigned long w) override {
    XWindowAttributes a;
    return w != 0 && XGetWindowAttributes(dpy_, w, &a);
  }

  bool Visible(unsigned long w) override {
    XWindowAttributes a;
    if (w == 0 || !XGetWindowAttributes(dpy_, w, &a)) return false;
    return a.map_state == IsViewable && !Minimised(w);
  }

  bool Minimised(unsigned long w) override {
    if (w == 0) return false;
    Atom type;
    int format;
    unsigned long n, after;
    unsigned char* data = nullptr;
    bool iconic = false;
    if (XGetWindowProperty(dpy_, w, wm_state_, 0, 2, False, wm_state_, &type, &format, &n,
                           &after, &data) == Success && data) {
      if (format == 32 && n >= 1) iconic = reinterpret_cast<long*>(data)[0] == IconicState;
      XFree(data);
      data = nullptr;
    }
    if (iconic) return true;
    if (XGetWindowProperty(dpy_, w, net_wm_state_, 0, 64, False, XA_ATOM, &type, &format, &n,
                           &after, &data) == Success && data) {
      if (format == 32) {
        const Atom* atoms = reinterpret_cast<Atom*>(data);
        for (unsigned long i = 0; i < n; ++i)
          if (atoms[i] == hidden_) iconic = true;
      }
      XFree(data);
    }
    return iconic;
  }

  bool WindowRect(unsigned long w, Rect& r) override {
    unsigned long top = w;
    // Up to the child of the root: the window manager's frame when there is one.
    for (int depth = 0; depth < 64; ++depth) {
      Window root, parent, *children = nullptr;
      unsigned n = 0;
      if (!XQueryTree(dpy_, top, &root, &parent, &children, &n)) return false;
      if (children) XFree(children);
      if (parent == root || parent == 0) break;
      top = parent;
    }
    return RootRect(top, r, true);
  }

  bool ClientRect(unsigned long w, Rect& r) override { return RootRect(w, r, false); }

  bool RootSize(int32_t* width, int32_t* height) override {
    Window root;
    int x, y;
    unsigned w, h, border, depth;
    if (!XGetGeometry(dpy_, root_, &root, &x, &y, &w, &h, &border, &depth)) return false;
    *width = static_cast<int32_t>(w);
    *height = static_cast<int32_t>(h);
    return true;
  }

 private:
  bool RootRect(unsigned long w, Rect& r, bool with_border) {
    XWindowAttributes a;
    if (w == 0 || !XGetWindowAttributes(dpy_, w, &a)) return false;
    int x, y;
    Window child;
    if (!XTranslateCoordinates(dpy_, w, root_, 0, 0, &x, &y, &child)) return false;
    const int b = with_border ? a.border_width : 0;
    r = Rect{x - b, y - b, x + a.width + b, y + a.height + b};
    return true;
  }

  Display* dpy_;
  Window root_;
  Atom wm_state_, net_wm_state_, hidden_;
};

thread_local std::unique_ptr<X11Windows> t_windows;
thread_local bool t_tried = false;

}  // namespace

WindowQuery* X11WindowQuery() {
  if (!t_tried) {
    t_tried = true;
    if (Display* dpy = XOpenDisplay(nullptr)) t_windows = std::make_unique<X11Windows>(dpy);
  }
  return t_windows.get();
}

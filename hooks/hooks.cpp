#include "hooks/hooks.h"

// Xutil.h names its own region type "Region"; keep it out of the way of ours.
#define Region XlibRegion
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#undef Region
#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Region.h"
#include "platform/ThreadQueue.h"
#include "platform/XErrorTrap.h"

namespace {

constexpr uint32_t kWindowChanged = 0xC000;
constexpr uint32_t kBorderChanged = 0xC001;
constexpr uint32_t kClientChanged = 0xC002;
constexpr uint32_t kRectangleChanged = 0xC003;
constexpr uint32_t kCursorChanged = 0xC004;

// More pending rectangles than this are sent as their bounding box: a few more pixels to
// capture, but a bounded number of posts into a queue that holds only a few.
constexpr std::size_t kMaxPendingRects = 32;
// A full queue is retried this soon; pointer notifications are at most this frequent.
constexpr int kRetryMs = 10;
constexpr auto kPointerInterval = std::chrono::milliseconds(10);

using Clock = std::chrono::steady_clock;

// One watcher per process: its own X connection, read only by its own thread.
struct Watcher {
  Display* dpy = nullptr;
  Window root = 0;
  long target = 0;
  int damage_event = 0;
  int fixes_event = 0;
  int xi_opcode = -1;
  Damage damage = 0;
  Atom wm_state = 0;
  int stop_fd = -1;
  std::thread thread;

  // What is waiting to be posted (the target's queue holds only a few messages).
  Region rects;
  std::vector<unsigned long> windows;
  bool pointer = false;
  Clock::time_point last_pointer{};
  bool target_gone = false;
};

std::mutex g_lock;     // guards g_watcher between Install and Remove
Watcher* g_watcher = nullptr;

bool HasWmState(Watcher& w, Window win) {
  Atom type;
  int format;
  unsigned long n, after;
  unsigned char* data = nullptr;
  bool found = XGetWindowProperty(w.dpy, win, w.wm_state, 0, 0, False, AnyPropertyType, &type,
                                  &format, &n, &after, &data) == Success &&
               type != None;
  if (data) XFree(data);
  return found;
}

// The client window inside a window manager's frame: the first descendant with WM_STATE.
// Without a window manager the child of the root is the client itself.
Window ClientOf(Watcher& w, Window top, int depth = 0) {
  if (HasWmState(w, top)) return top;
  if (depth >= 3) return 0;
  Window root, parent, *children = nullptr;
  unsigned n = 0;
  Window found = 0;
  if (XQueryTree(w.dpy, top, &root, &parent, &children, &n)) {
    for (unsigned i = n; i-- > 0 && !found;) found = ClientOf(w, children[i], depth + 1);
    if (children) XFree(children);
  }
  return depth == 0 && !found ? top : found;
}

void AddWindow(Watcher& w, Window win) {
  const Window client = ClientOf(w, win);
  if (std::find(w.windows.begin(), w.windows.end(), client) == w.windows.end())
    w.windows.push_back(client);
}

// Posts what is pending, oldest kind first; stops at a full queue and keeps the rest.
// Returns true when something is still pending.
bool Flush(Watcher& w) {
  if (w.target_gone) return false;
  auto post = [&](uint32_t msg, uint64_t wp, uint64_t lp) {
    if (PostThreadMessage(w.target, msg, wp, lp)) return true;
    if (errno != EAGAIN) w.target_gone = true;  // the thread has no queue any more
    return false;
  };
  while (!w.windows.empty()) {
    if (!post(kWindowChanged, 0, w.windows.front())) return !w.target_gone;
    w.windows.erase(w.windows.begin());
  }
  if (w.rects.Count() > kMaxPendingRects) w.rects.Replace(w.rects.Extents());
  if (!w.rects.Empty()) {
    std::vector<Rect> list = w.rects.Rectangles();
    std::size_t sent = 0;
    for (const Rect& r : list) {
      // Clipped to the root (at most 32767 px), so every edge fits 16 bits.
      const uint64_t wp = (static_cast<uint64_t>(r.left) & 0xffff) |
                          ((static_cast<uint64_t>(r.top) & 0xffff) << 16);
      const uint64_t lp = (static_cast<uint64_t>(r.right) & 0xffff) |
                          ((static_cast<uint64_t>(r.bottom) & 0xffff) << 16);
      if (!post(kRectangleChanged, wp, lp)) break;
      ++sent;
    }
    if (sent == list.size()) {
      w.rects.Clear();
    } else {
      Region rest;
      for (std::size_t i = sent; i < list.size(); ++i) rest.Union(list[i]);
      w.rects = rest;
      return !w.target_gone;
    }
  }
  if (w.pointer) {
    const Clock::time_point now = Clock::now();
    if (now - w.last_pointer < kPointerInterval) return true;
    if (!post(kCursorChanged, 0, 0)) return !w.target_gone;
    w.pointer = false;
    w.last_pointer = now;
  }
  return false;
}

void Handle(Watcher& w, XEvent& e, const Rect& root_rect) {
  if (e.type == w.damage_event + XDamageNotify) {
    const XDamageNotifyEvent& d = reinterpret_cast<XDamageNotifyEvent&>(e);
    Rect r{d.area.x, d.area.y, d.area.x + d.area.width, d.area.y + d.area.height};
    r = Intersection(r, root_rect);
    if (!r.IsEmpty()) w.rects.Union(r);
  } else if (e.type == w.fixes_event + XFixesCursorNotify) {
    w.pointer = true;
  } else if (e.type == GenericEvent && e.xcookie.extension == w.xi_opcode &&
             e.xcookie.evtype == XI_RawMotion) {
    w.pointer = true;
  } else if (e.type == MotionNotify) {
    w.pointer = true;
  } else if (e.type == MapNotify && e.xmap.event == w.root) {
    AddWindow(w, e.xmap.window);
  } else if (e.type == ConfigureNotify && e.xconfigure.event == w.root &&
             e.xconfigure.window != w.root) {
    AddWindow(w, e.xconfigure.window);
  }
}

Rect RootRect(Watcher& w) {
  XWindowAttributes a;
  if (!XGetWindowAttributes(w.dpy, w.root, &a)) return Rect{0, 0, 0, 0};
  return Rect{0, 0, a.width, a.height};
}

void Run(Watcher* w) {
  Rect root_rect = RootRect(*w);
  const int xfd = ConnectionNumber(w->dpy);
  bool pending = false;
  for (;;) {
    pollfd fds[2] = {{xfd, POLLIN, 0}, {w->stop_fd, POLLIN, 0}};
    // Events already read into Xlib's queue do not make the socket readable.
    const int timeout = XPending(w->dpy) ? 0 : (pending ? kRetryMs : -1);
    int r = poll(fds, 2, timeout);
    if (r < 0 && errno != EINTR) break;
    if (fds[1].revents) break;
    bool damaged = false;
    while (XPending(w->dpy)) {
      XEvent e;
      XNextEvent(w->dpy, &e);
      if (e.type == ConfigureNotify && e.xconfigure.window == w->root)
        root_rect = Rect{0, 0, e.xconfigure.width, e.xconfigure.height};
      if (e.type == w->damage_event + XDamageNotify) damaged = true;
      Handle(*w, e, root_rect);
    }
    // Raw reports need no repair; subtracting keeps the server's copy of the damage small.
    if (damaged) XDamageSubtract(w->dpy, w->damage, None, None);
    XFlush(w->dpy);
    pending = Flush(*w);
  }
}

void Destroy(Watcher* w) {
  if (w->thread.joinable()) {
    uint64_t one = 1;
    if (write(w->stop_fd, &one, sizeof one) < 0) {
    }
    w->thread.join();
  }
  if (w->dpy) {
    if (w->damage) XDamageDestroy(w->dpy, w->damage);
    UnregisterTrappedDisplay(w->dpy);
    XCloseDisplay(w->dpy);
  }
  if (w->stop_fd >= 0) close(w->stop_fd);
  delete w;
}

Watcher* Create(long thread_id) {
  Watcher* w = new Watcher;
  w->target = thread_id;
  w->dpy = XOpenDisplay(nullptr);
  if (!w->dpy) {
    Destroy(w);
    return nullptr;
  }
  RegisterTrappedDisplay(w->dpy);
  w->root = DefaultRootWindow(w->dpy);
  int error_base, major, minor;
  if (!XDamageQueryExtension(w->dpy, &w->damage_event, &error_base) ||
      !XFixesQueryExtension(w->dpy, &w->fixes_event, &error_base)) {
    fprintf(stderr, "hooks: the display lacks the DAMAGE or XFixes extension\n");
    Destroy(w);
    return nullptr;
  }
  w->wm_state = XInternAtom(w->dpy, "WM_STATE", False);
  w->damage = XDamageCreate(w->dpy, w->root, XDamageReportRawRectangles);
  XFixesSelectCursorInput(w->dpy, w->root, XFixesDisplayCursorNotifyMask);
  // Core motion over the root also reports warps, which make no raw events.
  XSelectInput(w->dpy, w->root, SubstructureNotifyMask | StructureNotifyMask | PointerMotionMask);
  int event, error;
  major = 2;
  minor = 0;
  if (XQueryExtension(w->dpy, "XInputExtension", &w->xi_opcode, &event, &error) &&
      XIQueryVersion(w->dpy, &major, &minor) == Success) {
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(bits, XI_RawMotion);
    // Raw events come from the physical (and XTest) devices.
    XIEventMask mask{XIAllDevices, sizeof bits, bits};
    XISelectEvents(w->dpy, w->root, &mask, 1);
  } else {
    w->xi_opcode = -1;
    fprintf(stderr, "hooks: no XInput 2; pointer changes come from cursor changes only\n");
  }
  XSync(w->dpy, False);
  w->stop_fd = eventfd(0, EFD_CLOEXEC);
  if (w->stop_fd < 0) {
    Destroy(w);
    return nullptr;
  }
  w->thread = std::thread(Run, w);
  return w;
}

}  // namespace

int WM_Hooks_Install(long thread_id, int /*flags*/) {
  std::lock_guard<std::mutex> hold(g_lock);
  if (g_watcher) return g_watcher->target == thread_id ? 1 : 0;
  g_watcher = Create(thread_id);
  return g_watcher ? 1 : 0;
}

void WM_Hooks_Remove(long thread_id) {
  Watcher* w = nullptr;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    if (!g_watcher || g_watcher->target != thread_id) return;
    w = g_watcher;
    g_watcher = nullptr;
  }
  Destroy(w);
}

uint32_t WM_Hooks_WindowChanged(void) { return kWindowChanged; }
uint32_t WM_Hooks_WindowBorderChanged(void) { return kBorderChanged; }
uint32_t WM_Hooks_WindowClientAreaChanged(void) { return kClientChanged; }
uint32_t WM_Hooks_RectangleChanged(void) { return kRectangleChanged; }
uint32_t WM_Hooks_CursorChanged(void) { return kCursorChanged; }

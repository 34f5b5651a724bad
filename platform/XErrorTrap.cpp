#include "platform/XErrorTrap.h"

#include <X11/Xlib.h>

#include <mutex>

namespace {
constexpr int kMaxDisplays = 16;
struct Entry {
  Display* dpy = nullptr;
  unsigned long errors = 0;
};
std::mutex g_lock;
Entry g_entries[kMaxDisplays];
XErrorHandler g_previous = nullptr;
std::once_flag g_once;

int Handler(Display* dpy, XErrorEvent* e) {
  {
    std::lock_guard<std::mutex> hold(g_lock);
    for (Entry& entry : g_entries) {
      if (entry.dpy == dpy) {
        ++entry.errors;
        return 0;
      }
    }
  }
  return g_previous ? g_previous(dpy, e) : 0;
}
}  // namespace

void InstallXErrorTrap() {
  std::call_once(g_once, [] { g_previous = XSetErrorHandler(Handler); });
}

void RegisterTrappedDisplay(Display* dpy) {
  InstallXErrorTrap();
  std::lock_guard<std::mutex> hold(g_lock);
  for (Entry& entry : g_entries) {
    if (!entry.dpy) {
      entry = Entry{dpy, 0};
      return;
    }
  }
}

void UnregisterTrappedDisplay(Display* dpy) {
  std::lock_guard<std::mutex> hold(g_lock);
  for (Entry& entry : g_entries)
    if (entry.dpy == dpy) entry = Entry{};
}

unsigned long TrappedErrorCount(Display* dpy) {
  std::lock_guard<std::mutex> hold(g_lock);
  for (const Entry& entry : g_entries)
    if (entry.dpy == dpy) return entry.errors;
  return 0;
}

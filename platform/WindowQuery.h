#pragma once
// Questions the change tracker asks about a top-level window, named by the client's XID.
// Each thread gets its own X connection (X11WindowQuery), so the hook thread never shares a
// Display with the sampler. Tests substitute a fake.
#include "platform/Rect.h"

class WindowQuery {
 public:
  virtual ~WindowQuery() = default;
  virtual bool Exists(unsigned long window) = 0;
  // Viewable and neither _NET_WM_STATE_HIDDEN nor WM_STATE Iconic.
  virtual bool Visible(unsigned long window) = 0;
  // WM_STATE Iconic or _NET_WM_STATE_HIDDEN.
  virtual bool Minimised(unsigned long window) = 0;
  // The outermost ancestor below the root (the window manager's frame, or the window itself
  // without one), in root coordinates.
  virtual bool WindowRect(unsigned long window, Rect& r) = 0;
  // The window itself, in root coordinates.
  virtual bool ClientRect(unsigned long window, Rect& r) = 0;
  // The size of the root window (the whole screen); false when it cannot be read.
  virtual bool RootSize(int32_t* width, int32_t* height) {
    (void)width;
    (void)height;
    return false;
  }
};

// The X11 implementation for the calling thread (its own connection to $DISPLAY, opened on
// first use and kept for the thread's life). nullptr when there is no display.
WindowQuery* X11WindowQuery();

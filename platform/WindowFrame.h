#pragma once
// The window manager's frame around a top-level window, for placing a window by its outer
// rectangle. Called on the window thread with the window's XID; uses a short-lived X
// connection of its own. Without a window manager the frame is 0 on every side.
struct FrameExtents {
  int left = 0, right = 0, top = 0, bottom = 0;
};

// Asks the window manager (_NET_REQUEST_FRAME_EXTENTS) and waits at most wait_ms for
// _NET_FRAME_EXTENTS; all 0 when there is no manager or no answer in time.
FrameExtents QueryFrameExtents(unsigned long window, int wait_ms = 200);

#pragma once
// Moves the local pointer to a root position. Owned and used by one thread (the viewer's
// receive thread), which gets an X connection of its own so that Xlib is never entered from
// two threads on one connection.
struct _XDisplay;

class PointerWarp {
 public:
  PointerWarp();   // opens the connection; valid() tells whether it worked
  ~PointerWarp();
  PointerWarp(const PointerWarp&) = delete;
  PointerWarp& operator=(const PointerWarp&) = delete;
  bool valid() const { return display_ != nullptr; }
  // Warps to (x, y) on the default root and flushes; false without a connection.
  bool MoveTo(int x, int y);
 private:
  _XDisplay* display_ = nullptr;
};

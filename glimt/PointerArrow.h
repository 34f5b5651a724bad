#pragma once
// The server's pointer drawn over the picture where this machine's pointer cannot follow it
// (Wayland lets no client move the pointer). This is where the arrow goes and what to repaint
// when it moves; the window draws the shape. Window thread only. No X11 or Qt here.
#include "glimt/Decode.h"

class PointerArrow {
 public:
  static constexpr int kWidth = 12, kHeight = 19;
  // Rows from the tip down, the tip at the top-left: 'X' outline (black), 'o' fill (white),
  // '.' clear (the picture shows through). Drawn at its own size whatever the scale, as a
  // pointer is.
  static const char* const kShape[kHeight];

  // The client rectangle of the arrow for the server point (x, y) in a client area of
  // cw x ch showing area: the tip at the scaled point (as the pointer is warped on X11), cut
  // to the client area, so its left and top are the tip. Empty when the point lies outside
  // the broadcast area or the client area is empty.
  static AreaRect Place(const AreaRect& area, int cw, int ch, int32_t x, int32_t y);

  // The server's pointer is at (x, y) now: the client rectangles to repaint, where the arrow
  // was and where it goes (either may be empty). Both empty when it stays on the same client
  // pixels, as a small move in a reduced picture does.
  struct Repaint {
    AreaRect was, now;
  };
  Repaint MoveTo(const AreaRect& area, int cw, int ch, int32_t x, int32_t y);

  // Where the arrow is drawn for the current client size; empty before the first position.
  AreaRect Where(const AreaRect& area, int cw, int ch) const;

 private:
  bool known_ = false;
  int32_t x_ = 0, y_ = 0;
};

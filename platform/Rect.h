#pragma once
// A screen rectangle: pixels, origin top-left of the primary display, right and bottom
// exclusive. Same field order as the edges of the update datagram.
#include <cstdint>

struct Rect {
  int32_t left = 0, top = 0, right = 0, bottom = 0;

  int64_t Width() const { return int64_t{right} - left; }
  int64_t Height() const { return int64_t{bottom} - top; }
  bool IsEmpty() const { return right <= left || bottom <= top; }
  friend bool operator==(const Rect&, const Rect&) = default;
};

// The part of a that lies in b; empty (all zero) when they do not meet.
inline Rect Intersection(const Rect& a, const Rect& b) {
  Rect r{a.left > b.left ? a.left : b.left, a.top > b.top ? a.top : b.top,
         a.right < b.right ? a.right : b.right, a.bottom < b.bottom ? a.bottom : b.bottom};
  if (r.IsEmpty()) return Rect{};
  return r;
}

#include "glimt/PointerArrow.h"

#include <algorithm>

const char* const PointerArrow::kShape[kHeight] = {
    "X...........",
    "XX..........",
    "XoX.........",
    "XooX........",
    "XoooX.......",
    "XooooX......",
    "XoooooX.....",
    "XooooooX....",
    "XoooooooX...",
    "XooooooooX..",
    "XoooooooooX.",
    "XooooooXXXXX",
    "XoooXooX....",
    "XooXXooX....",
    "XoX..XooX...",
    "XX...XooX...",
    "X.....XooX..",
    "......XooX..",
    ".......XX...",
};

namespace {

bool Same(const AreaRect& a, const AreaRect& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

}  // namespace

AreaRect PointerArrow::Place(const AreaRect& area, int cw, int ch, int32_t x, int32_t y) {
  if (cw <= 0 || ch <= 0 || x < area.left || x >= area.right || y < area.top ||
      y >= area.bottom)
    return {};
  int32_t tx = 0, ty = 0;
  ScalePoint(area, cw, ch, x, y, &tx, &ty);
  return {tx, ty, static_cast<int32_t>(std::min<int64_t>(int64_t{tx} + kWidth, cw)),
          static_cast<int32_t>(std::min<int64_t>(int64_t{ty} + kHeight, ch))};
}

PointerArrow::Repaint PointerArrow::MoveTo(const AreaRect& area, int cw, int ch, int32_t x,
                                           int32_t y) {
  Repaint r{Where(area, cw, ch), Place(area, cw, ch, x, y)};
  known_ = true;
  x_ = x;
  y_ = y;
  if (Same(r.was, r.now)) r = {};
  return r;
}

AreaRect PointerArrow::Where(const AreaRect& area, int cw, int ch) const {
  return known_ ? Place(area, cw, ch, x_, y_) : AreaRect{};
}

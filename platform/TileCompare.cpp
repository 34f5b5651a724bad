#include "platform/TileCompare.h"

#include <algorithm>
#include <cstring>

void AddChangedTiles(const uint8_t* now, const uint8_t* before, std::size_t stride,
                     const Rect& r, std::vector<Rect>* out) {
  for (int32_t top = r.top, bottom; top < r.bottom; top = bottom) {
    bottom = std::min((top / kChangeTile + 1) * kChangeTile, r.bottom);
    int32_t run = -1;  // left edge of the run of changed tiles, -1 when none
    for (int32_t left = r.left, right; left < r.right; left = right) {
      right = std::min((left / kChangeTile + 1) * kChangeTile, r.right);
      const std::size_t at = static_cast<std::size_t>(left) * 4;
      const std::size_t bytes = static_cast<std::size_t>(right - left) * 4;
      bool differs = false;
      for (int32_t y = top; y < bottom && !differs; ++y) {
        const std::size_t row = static_cast<std::size_t>(y) * stride + at;
        differs = std::memcmp(now + row, before + row, bytes) != 0;
      }
      if (differs && run < 0) run = left;
      if (!differs && run >= 0) {
        out->push_back(Rect{run, top, left, bottom});
        run = -1;
      }
    }
    if (run >= 0) out->push_back(Rect{run, top, r.right, bottom});
  }
}

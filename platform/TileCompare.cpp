#include "platform/TileCompare.h"

#include <algorithm>
#include <cstring>
#include <utility>

void CompareTileBand(const uint8_t* now, std::size_t now_stride, const uint8_t* before,
                     std::size_t before_stride, const Rect& band, const TileGrid& grid, bool trim,
                     TileBox* boxes) {
  const std::size_t b = static_cast<std::size_t>(grid.bytes_per_pixel);
  const int32_t first_tile = (band.left - grid.left) / grid.width;
  const int tiles = static_cast<int>((band.right - 1 - grid.left) / grid.width - first_tile + 1);
  for (int i = 0; i < tiles; ++i) boxes[i].any = false;
  const std::size_t span = static_cast<std::size_t>(band.Width()) * b;
  int settled = 0;  // untrimmed: tiles already known to differ need no more rows
  for (int32_t y = band.top; y < band.bottom && settled < tiles; ++y) {
    const uint8_t* n = now + static_cast<std::size_t>(y - band.top) * now_stride;
    const uint8_t* o = before + static_cast<std::size_t>(y - band.top) * before_stride;
    // The whole span first: an unchanged row costs one comparison.
    if (std::memcmp(n, o, span) == 0) continue;
    for (int i = 0; i < tiles; ++i) {
      TileBox& box = boxes[i];
      if (!trim && box.any) continue;
      const int32_t tile_left = grid.left + (first_tile + i) * grid.width;
      const int32_t x0 = std::max(band.left, tile_left);
      const int32_t x1 = std::min(band.right, tile_left + grid.width);
      const std::size_t off = static_cast<std::size_t>(x0 - band.left) * b;
      const std::size_t len = static_cast<std::size_t>(x1 - x0) * b;
      if (std::memcmp(n + off, o + off, len) == 0) continue;
      if (!trim) {
        box = TileBox{x0, band.top, x1, band.bottom, true};
        ++settled;
        continue;
      }
      // The first and last differing bytes give the pixel columns of the change.
      std::size_t first = 0, last = len - 1;
      while (n[off + first] == o[off + first]) ++first;
      while (n[off + last] == o[off + last]) --last;
      const int32_t px0 = x0 + static_cast<int32_t>(first / b);
      const int32_t px1 = x0 + static_cast<int32_t>(last / b) + 1;
      if (!box.any) {
        box = TileBox{px0, y, px1, y + 1, true};
      } else {
        box.left = std::min(box.left, px0);
        box.right = std::max(box.right, px1);
        box.bottom = y + 1;
      }
    }
  }
}

void AddChangedTiles(const uint8_t* now, const uint8_t* before, std::size_t stride,
                     const Rect& r, std::vector<Rect>* out) {
  if (r.IsEmpty()) return;
  const TileGrid grid;
  const int32_t tiles = (r.right - 1) / kChangeTile - r.left / kChangeTile + 1;
  std::vector<TileBox> boxes(static_cast<std::size_t>(tiles));
  for (int32_t top = r.top, bottom; top < r.bottom; top = bottom) {
    bottom = std::min((top / kChangeTile + 1) * kChangeTile, r.bottom);
    const std::size_t at =
        static_cast<std::size_t>(top) * stride + static_cast<std::size_t>(r.left) * 4;
    CompareTileBand(now + at, stride, before + at, stride, Rect{r.left, top, r.right, bottom}, grid,
                    false, boxes.data());
    // Untrimmed boxes are whole tiles cut to r: side by side they join into one rectangle.
    Rect run{};
    for (const TileBox& box : boxes) {
      if (box.any && run.IsEmpty()) run = Rect{box.left, top, box.right, bottom};
      else if (box.any) run.right = box.right;
      else if (!run.IsEmpty()) out->push_back(std::exchange(run, Rect{}));
    }
    if (!run.IsEmpty()) out->push_back(run);
  }
}

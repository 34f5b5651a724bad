#include "server/SentPicture.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

SentPicture::~SentPicture() { Release(); }

Rect SentPicture::Tile(int tx, int ty) const {
  return Intersection(Rect{area_.left + tx * kTileWidth, area_.top + ty * kTileHeight,
                           area_.left + (tx + 1) * kTileWidth, area_.top + (ty + 1) * kTileHeight},
                      area_);
}

SentPicture::Tiles SentPicture::TilesOf(const Rect& in) const {
  return Tiles{static_cast<int>((in.left - area_.left) / kTileWidth),
               static_cast<int>((in.top - area_.top) / kTileHeight),
               static_cast<int>((in.right - 1 - area_.left) / kTileWidth),
               static_cast<int>((in.bottom - 1 - area_.top) / kTileHeight)};
}

void SentPicture::Release() {
  free(copy_);
  copy_ = nullptr;
  area_ = Rect{};
  bpp_ = bytes_ = 0;
}

bool SentPicture::SetArea(const Rect& area, int bpp) {
  if (copy_ && area == area_ && bpp == bpp_) return true;
  Release();
  if (area.IsEmpty() || (bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32)) return false;
  const std::size_t stride = static_cast<std::size_t>(area.Width()) * static_cast<std::size_t>(bpp / 8);
  // Unknown tiles are never compared, so the copy needs no clearing.
  copy_ = static_cast<uint8_t*>(malloc(stride * static_cast<std::size_t>(area.Height())));
  if (!copy_) return false;
  area_ = area;
  bpp_ = bpp;
  bytes_ = bpp / 8;
  grid_ = TileGrid{area.left, area.top, kTileWidth, kTileHeight, bytes_};
  stride_ = stride;
  tiles_x_ = static_cast<int>((area.Width() + kTileWidth - 1) / kTileWidth);
  tiles_y_ = static_cast<int>((area.Height() + kTileHeight - 1) / kTileHeight);
  known_.assign(static_cast<std::size_t>(tiles_x_) * static_cast<std::size_t>(tiles_y_), 0);
  row_boxes_.assign(static_cast<std::size_t>(tiles_x_), TileBox{});
  open_.reserve(static_cast<std::size_t>(tiles_x_));
  next_.reserve(static_cast<std::size_t>(tiles_x_));
  return true;
}

std::size_t SentPicture::MemoryBytes() const {
  if (!copy_) return 0;
  return stride_ * static_cast<std::size_t>(area_.Height()) + known_.size() +
         row_boxes_.size() * sizeof(TileBox) + (open_.capacity() + next_.capacity()) * sizeof(Open);
}

void SentPicture::CompareTileRow(int ty, const Rect& in, const Rect& r, const uint8_t* pixels,
                                 std::size_t stride) {
  const int32_t y0 = std::max(in.top, area_.top + ty * kTileHeight);
  const int32_t y1 = std::min(in.bottom, area_.top + (ty + 1) * kTileHeight);
  const Tiles t = TilesOf(in);
  const std::size_t b = static_cast<std::size_t>(bytes_);
  const std::size_t span_off = static_cast<std::size_t>(in.left - area_.left) * b;
  const uint8_t* now = pixels + static_cast<std::size_t>(y0 - r.top) * stride +
                       static_cast<std::size_t>(in.left - r.left) * b;
  TileBox* boxes = &row_boxes_[static_cast<std::size_t>(t.x0)];
  CompareTileBand(now, stride, Row(y0) + span_off, stride_, Rect{in.left, y0, in.right, y1}, grid_,
                  true, boxes);
  for (int tx = t.x0; tx <= t.x1; ++tx) {
    TileBox& box = row_boxes_[static_cast<std::size_t>(tx)];
    uint8_t& known = known_[static_cast<std::size_t>(ty * tiles_x_ + tx)];
    const Rect tile = Tile(tx, ty);
    if (!known) {
      // Never sent: all of it that lies in r is a change, and what r holds of it goes out.
      const Rect part = Intersection(tile, in);
      box = TileBox{part.left, part.top, part.right, part.bottom, true};
      known = part == tile;
    }
    if (!box.any) continue;
    // The copy takes what goes out; outside the box the pixels are equal already.
    for (int32_t y = box.top; y < box.bottom; ++y)
      memcpy(Row(y) + static_cast<std::size_t>(box.left - area_.left) * b,
             now + static_cast<std::size_t>(y - y0) * stride +
                 static_cast<std::size_t>(box.left - in.left) * b,
             static_cast<std::size_t>(box.right - box.left) * b);
  }
}

void SentPicture::MergeTileRow(std::vector<Rect>& out) {
  // Runs of changed tiles; a run continues the open rectangle above that spans the same
  // tiles, else it starts one. Open rectangles no run continued are finished.
  next_.clear();
  std::size_t above = 0;
  for (int tx = 0; tx < tiles_x_;) {
    if (!row_boxes_[static_cast<std::size_t>(tx)].any) {
      ++tx;
      continue;
    }
    Open run{tx, tx, row_boxes_[static_cast<std::size_t>(tx)]};
    for (++tx; tx < tiles_x_ && row_boxes_[static_cast<std::size_t>(tx)].any; ++tx) {
      const TileBox& b = row_boxes_[static_cast<std::size_t>(tx)];
      run.tx1 = tx;
      run.box.left = std::min(run.box.left, b.left);
      run.box.right = std::max(run.box.right, b.right);
      run.box.top = std::min(run.box.top, b.top);
      run.box.bottom = std::max(run.box.bottom, b.bottom);
    }
    while (above < open_.size() && open_[above].tx1 < run.tx0) {
      const TileBox& b = open_[above++].box;
      out.push_back(Rect{b.left, b.top, b.right, b.bottom});
    }
    if (above < open_.size() && open_[above].tx0 == run.tx0 && open_[above].tx1 == run.tx1) {
      const TileBox& b = open_[above++].box;
      run.box.left = std::min(run.box.left, b.left);
      run.box.right = std::max(run.box.right, b.right);
      run.box.top = b.top;
    }
    next_.push_back(run);
  }
  for (; above < open_.size(); ++above) {
    const TileBox& b = open_[above].box;
    out.push_back(Rect{b.left, b.top, b.right, b.bottom});
  }
  open_.swap(next_);
}

void SentPicture::Changes(const Rect& r, const uint8_t* pixels, std::size_t stride,
                          std::vector<Rect>& out) {
  out.clear();
  if (r.IsEmpty()) return;
  const Rect in = copy_ ? Intersection(r, area_) : Rect{};
  if (in.IsEmpty()) {
    out.push_back(r);
    return;
  }
  // What lies outside the area is not kept: above, below, left and right of it go whole.
  if (r.top < in.top) out.push_back(Rect{r.left, r.top, r.right, in.top});
  if (in.bottom < r.bottom) out.push_back(Rect{r.left, in.bottom, r.right, r.bottom});
  if (r.left < in.left) out.push_back(Rect{r.left, in.top, in.left, in.bottom});
  if (in.right < r.right) out.push_back(Rect{in.right, in.top, r.right, in.bottom});
  const Tiles t = TilesOf(in);
  std::fill(row_boxes_.begin(), row_boxes_.end(), TileBox{});
  open_.clear();
  for (int ty = t.y0; ty <= t.y1; ++ty) {
    CompareTileRow(ty, in, r, pixels, stride);
    MergeTileRow(out);
  }
  std::fill(row_boxes_.begin(), row_boxes_.end(), TileBox{});
  MergeTileRow(out);  // finishes the rectangles still open
}

void SentPicture::Sent(const Rect& r, const uint8_t* pixels, std::size_t stride) {
  const Rect in = copy_ ? Intersection(r, area_) : Rect{};
  if (in.IsEmpty()) return;
  const std::size_t b = static_cast<std::size_t>(bytes_);
  for (int32_t y = in.top; y < in.bottom; ++y)
    memcpy(Row(y) + static_cast<std::size_t>(in.left - area_.left) * b,
           pixels + static_cast<std::size_t>(y - r.top) * stride + static_cast<std::size_t>(in.left - r.left) * b,
           static_cast<std::size_t>(in.Width()) * b);
  Took(in);
}

uint8_t* SentPicture::PixelsOf(const Rect& r) {
  if (!copy_ || r.IsEmpty() || Intersection(r, area_) != r) return nullptr;
  return Row(r.top) +
         static_cast<std::size_t>(r.left - area_.left) * static_cast<std::size_t>(bytes_);
}

void SentPicture::Took(const Rect& r) { MarkTiles(r, true, 1); }

void SentPicture::Forget(const Rect& r) { MarkTiles(r, false, 0); }

void SentPicture::MarkTiles(const Rect& r, bool held_whole, uint8_t known) {
  const Rect in = copy_ ? Intersection(r, area_) : Rect{};
  if (in.IsEmpty()) return;
  const Tiles t = TilesOf(in);
  for (int ty = t.y0; ty <= t.y1; ++ty)
    for (int tx = t.x0; tx <= t.x1; ++tx)
      if (!held_whole || Intersection(Tile(tx, ty), in) == Tile(tx, ty))
        known_[static_cast<std::size_t>(ty * tiles_x_ + tx)] = known;
}

#pragma once
// What the viewers were last sent of the broadcast area: a copy of its pixels, against which
// each damaged rectangle is compared in tiles before it is compressed, so that a window that
// repaints itself whole puts only what really changed on the wire. Portable: pixels in (rows
// of S bytes at 8, 16, 24 or 32 bits per pixel), rectangles out. Used by one thread (the
// sampler's). Costs one picture of memory: W x H x bytes per pixel, plus a byte a tile.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/Rect.h"
#include "platform/TileCompare.h"

class SentPicture {
 public:
  static constexpr int kTileWidth = 64, kTileHeight = 16;

  SentPicture() = default;
  ~SentPicture();
  SentPicture(const SentPicture&) = delete;
  SentPicture& operator=(const SentPicture&) = delete;

  // The broadcast area and the display's depth. A change of either forgets everything (every
  // tile counts as changed until sent again); the same again keeps the copy. False, and no
  // copy, for an empty area, another depth or no memory: Changes then passes rectangles whole.
  bool SetArea(const Rect& area, int bpp);
  // The parts of r that differ from what was sent, merged into few rectangles in out (cleared
  // first), and the copy updated to r's pixels: pixels holds r's rows, stride bytes apart.
  // Tiles never sent, or forgotten, count as changed over all of r that they hold; parts of r
  // outside the area are passed as they are. Each rectangle is trimmed to the bounding box of
  // its differing pixels.
  void Changes(const Rect& r, const uint8_t* pixels, std::size_t stride, std::vector<Rect>& out);
  // r went out whole (a full refresh, a slice of the healing cycle): the copy takes its pixels
  // and the tiles it covers wholly count as sent.
  void Sent(const Rect& r, const uint8_t* pixels, std::size_t stride);
  // What was sent over r is unknown (a block dropped): its tiles count as changed.
  void Forget(const Rect& r);
  // Where r's pixels lie in the copy (rows stride() bytes apart), for a capture of what goes
  // out whole straight into it; nullptr unless r lies wholly inside the area. Follow with
  // Took(r), or with Forget(r) when the capture failed.
  uint8_t* PixelsOf(const Rect& r);
  std::size_t stride() const { return stride_; }
  // r's pixels in the copy are what goes out: the tiles it covers wholly count as sent.
  void Took(const Rect& r);

  bool valid() const { return copy_ != nullptr; }
  std::size_t MemoryBytes() const;

 private:
  struct Open {  // a rectangle still growing downwards: tiles tx0..tx1 of consecutive rows
    int tx0, tx1;
    TileBox box;  // its differing pixels, screen coordinates
  };
  struct Tiles {  // the tiles a rectangle inside the area touches, inclusive
    int x0, y0, x1, y1;
  };
  Rect Tile(int tx, int ty) const;  // the part of the area tile (tx, ty) holds
  Tiles TilesOf(const Rect& in) const;
  uint8_t* Row(int32_t y) { return copy_ + static_cast<std::size_t>(y - area_.top) * stride_; }
  // Compares (or for unknown tiles takes whole) the part of tile row ty inside in.
  void CompareTileRow(int ty, const Rect& in, const Rect& r, const uint8_t* pixels,
                      std::size_t stride);
  // Runs of changed tiles in row ty, merged with the open rectangles of the row above.
  void MergeTileRow(std::vector<Rect>& out);
  // Sets the flag of the tiles r touches (only of those it holds whole, when held_whole).
  void MarkTiles(const Rect& r, bool held_whole, uint8_t known);
  void Release();

  Rect area_{};
  int bpp_ = 0, bytes_ = 0;
  TileGrid grid_;
  std::size_t stride_ = 0;
  uint8_t* copy_ = nullptr;
  int tiles_x_ = 0, tiles_y_ = 0;
  std::vector<uint8_t> known_;   // per tile: its pixels in the copy are what was sent
  std::vector<TileBox> row_boxes_;  // per tile of the current tile row
  std::vector<Open> open_, next_;
};

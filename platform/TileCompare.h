#pragma once
// Which parts of a damaged area really changed: two pictures of the same layout compared in
// tiles. The Wayland screen sources use it where the compositor says more changed than did (a
// scanned-out window reported as the whole output) or says nothing at all (a stream without
// damage metadata); the server compares what it captures against what it last sent. Portable;
// no state.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/Rect.h"

constexpr int32_t kChangeTile = 64;

// Tiles of width x height pixels, tile (0, 0) beginning at (left, top), over pixels of
// bytes_per_pixel bytes.
struct TileGrid {
  int32_t left = 0, top = 0;
  int32_t width = kChangeTile, height = kChangeTile;
  int bytes_per_pixel = 4;
};

// What differs in one tile, in picture coordinates; nothing when !any.
struct TileBox {
  int32_t left = 0, top = 0, right = 0, bottom = 0;
  bool any = false;
};

// Compares band, a rectangle within one row of the grid's tiles, between two pictures: now
// and before point at the band's first pixel (band.left, band.top) of each, whose rows are
// now_stride and before_stride bytes apart. boxes[i] is set for the i-th tile column the band
// touches, from the one holding band.left. trim: each box holds exactly the differing pixels;
// otherwise a tile stops at its first difference and its box is the whole tile within band.
void CompareTileBand(const uint8_t* now, std::size_t now_stride, const uint8_t* before,
                     std::size_t before_stride, const Rect& band, const TileGrid& grid, bool trim,
                     TileBox* boxes);

// Appends to *out the tiles of r in which now and before differ, each cut to r; runs of
// changed tiles side by side in one band of tiles become one rectangle. Bands come top to
// bottom, left to right within a band. Tiles of 64 pixels square aligned to (0, 0); r must lie
// inside both pictures (rows of stride bytes, pixel x at byte 4x).
void AddChangedTiles(const uint8_t* now, const uint8_t* before, std::size_t stride,
                     const Rect& r, std::vector<Rect>* out);

#pragma once
// Which parts of a damaged area really changed: two pictures of the same shape (32 bits a
// pixel, the same stride) are compared in square tiles aligned to (0, 0). The Wayland screen
// sources use it where the compositor says more changed than did (a scanned-out window
// reported as the whole output) or says nothing at all (a stream without damage metadata).
// Portable; no state.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/Rect.h"

constexpr int32_t kChangeTile = 64;

// Appends to *out the tiles of r in which now and before differ, each cut to r; runs of
// changed tiles side by side in one band of tiles become one rectangle. Bands come top to
// bottom, left to right within a band. r must lie inside both pictures (rows of stride
// bytes, pixel x at byte 4x).
void AddChangedTiles(const uint8_t* now, const uint8_t* before, std::size_t stride,
                     const Rect& r, std::vector<Rect>* out);

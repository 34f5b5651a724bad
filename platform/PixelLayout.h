#pragma once
// The 32-bit pixel layouts the Wayland screen sources read, and a row of them in the wire's
// layout: blue, green, red, 0, as the X11 source gives pixels at depth 24/32. Portable.
#include <cstddef>
#include <cstdint>

// Memory order of a pixel's bytes: B, G, R, x or R, G, B, x (x: padding or alpha).
enum class PixelLayout { kNone, kBgrx, kRgbx };

inline void RowToWire(const uint8_t* src, uint8_t* dst, std::size_t pixels, PixelLayout layout) {
  const bool swap = layout == PixelLayout::kRgbx;
  for (std::size_t i = 0; i < pixels; ++i, src += 4, dst += 4) {
    dst[0] = swap ? src[2] : src[0];
    dst[1] = src[1];
    dst[2] = swap ? src[0] : src[2];
    dst[3] = 0;
  }
}

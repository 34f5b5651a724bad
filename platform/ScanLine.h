#pragma once
// The scan line of the update datagram's pixel rows: W pixels at d bits per pixel, rounded up
// to 16-bit words, S = ((W * d + 15) / 16) * 2. Shared by the screen capture, which fills rows
// of at least S bytes, and the datagram code above it. 64-bit so that odd rectangles cannot
// overflow.
#include <cstdint>

constexpr int64_t ScanLineBytes(int64_t width, int bits_per_pixel) {
  return ((width * bits_per_pixel + 15) / 16) * 2;
}

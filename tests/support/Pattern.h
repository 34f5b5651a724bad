#pragma once
// The test picture: neighbouring pixels and the three colour channels all differ, so that a
// shifted, mirrored or channel-swapped copy cannot match. 0xRRGGBB.
#include <cstdint>

namespace testsupport {

inline uint32_t PatternPixel(int col, int row, uint32_t seed) {
  const uint32_t r = (static_cast<uint32_t>(col) * 7 + seed) & 0xFF;
  const uint32_t g = (static_cast<uint32_t>(row) * 5 + seed * 3) & 0xFF;
  const uint32_t b = (static_cast<uint32_t>(col + row) * 3 + 0x40) & 0xFF;
  return (r << 16) | (g << 8) | b;
}

}  // namespace testsupport

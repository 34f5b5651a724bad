#pragma once
// A photo-like 1920x1080 full refresh cut as a server on a 1500-byte link cuts it: blocks of
// 32 bpp pixels whose datagrams are at most 1472 bytes (about 4,200 of them).
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "tests/glimt/BlockTestSupport.h"

namespace glimttest {

constexpr int kPhotoWidth = 1920, kPhotoHeight = 1080;
constexpr std::size_t kMaxDatagram = 1472;  // 1500 - IP - UDP

// Soft gradients and shapes with sensor-like noise: what a photo compresses like.
inline std::vector<uint32_t> PhotoPicture() {
  std::mt19937 rng(5);
  std::vector<uint32_t> p(static_cast<std::size_t>(kPhotoWidth) * kPhotoHeight);
  for (int y = 0; y < kPhotoHeight; ++y)
    for (int x = 0; x < kPhotoWidth; ++x) {
      const double s = std::sin(x / 97.0) * std::cos(y / 53.0), t = std::sin((x + y) / 211.0);
      auto channel = [&](double base) {
        const int v = static_cast<int>(base) + static_cast<int>(rng() % 9) - 4;
        return static_cast<uint32_t>(std::clamp(v, 0, 255));
      };
      p[static_cast<std::size_t>(y) * kPhotoWidth + x] =
          channel(128 + 90 * s) << 16 | channel(120 + 80 * t) << 8 | channel(100 + 60 * s * t);
    }
  return p;
}

// The block (x, y, w, h) of the picture as an UPDATE_BLOCK datagram (32 bpp).
inline std::vector<uint8_t> BlockOf(const std::vector<uint32_t>& p, int x, int y, int w, int h) {
  std::vector<uint8_t> raw;
  raw.reserve(static_cast<std::size_t>(w) * h * 4);
  for (int r = y; r < y + h; ++r)
    for (int c = x; c < x + w; ++c) {
      const uint32_t v = p[static_cast<std::size_t>(r) * kPhotoWidth + c];
      raw.insert(raw.end(), {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                             static_cast<uint8_t>(v >> 16), 0});
    }
  return Block(x, y, x + w, y + h, Compress(raw, 1));
}

// Columns of 120 pixels cut into as many rows as fit one datagram.
inline std::vector<std::vector<uint8_t>> CutIntoDatagrams(const std::vector<uint32_t>& p) {
  std::vector<std::vector<uint8_t>> out;
  constexpr int kColumn = 120;
  for (int x = 0; x < kPhotoWidth; x += kColumn) {
    int rows = 4;
    for (int y = 0; y < kPhotoHeight;) {
      rows = std::min(rows, kPhotoHeight - y);
      std::vector<uint8_t> d = BlockOf(p, x, y, kColumn, rows);
      while (d.size() > kMaxDatagram && rows > 1) d = BlockOf(p, x, y, kColumn, --rows);
      if (d.size() > kMaxDatagram) return {};  // the content does not compress at all
      out.push_back(std::move(d));
      y += rows;
      ++rows;  // try one more next time
    }
  }
  return out;
}

}  // namespace glimttest

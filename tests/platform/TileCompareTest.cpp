// Which tiles of two pictures differ: edges of the 64-pixel tiles, pictures and the area
// asked about, and how runs of tiles join.
#include <gtest/gtest.h>

#include <vector>

#include "platform/TileCompare.h"

namespace {

constexpr int kW = 200, kH = 130;  // the last column and row of tiles are cut short
constexpr std::size_t kStride = kW * 4 + 8;  // rows longer than their pixels

TEST(TileCompare, ReportsTheTilesOfChangedPixelsCutToTheArea) {
  struct Pixel { int x, y; };
  struct {
    std::vector<Pixel> changed;
    Rect area;
    std::vector<Rect> want;
  } cases[] = {
      {{}, {0, 0, kW, kH}, {}},                                         // nothing changed
      {{{63, 63}}, {0, 0, kW, kH}, {{0, 0, 64, 64}}},                   // last pixel of a tile
      {{{64, 63}}, {0, 0, kW, kH}, {{64, 0, 128, 64}}},                 // first of the next
      {{{65, 64}}, {0, 0, kW, kH}, {{64, 64, 128, 128}}},
      {{{199, 129}}, {0, 0, kW, kH}, {{192, 128, 200, 130}}},           // the short corner tile
      {{{0, 0}, {64, 0}, {128, 0}}, {0, 0, kW, kH}, {{0, 0, 192, 64}}},  // a run joins
      {{{0, 0}, {128, 0}}, {0, 0, kW, kH}, {{0, 0, 64, 64}, {128, 0, 192, 64}}},  // a gap splits
      {{{10, 10}, {10, 70}}, {0, 0, kW, kH}, {{0, 0, 64, 64}, {0, 64, 64, 128}}},  // two bands
      {{{70, 70}}, {66, 66, 80, 90}, {{66, 66, 80, 90}}},              // cut to the area
      {{{70, 70}}, {71, 0, kW, kH}, {}},                                // just outside the area
      {{{70, 70}}, {70, 70, 71, 71}, {{70, 70, 71, 71}}},               // an area of one pixel
      {{{10, 10}}, {5, 5, 5, 9}, {}},                                   // an empty area
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> before(kStride * kH, 0x11), now = before;
    for (const Pixel& p : c.changed)
      now[static_cast<std::size_t>(p.y) * kStride + static_cast<std::size_t>(p.x) * 4 + 1] ^= 1;
    // Bytes past the pixels of a row never count.
    for (int y = 0; y < kH; ++y) now[static_cast<std::size_t>(y) * kStride + kW * 4] = 0x99;
    std::vector<Rect> got;
    AddChangedTiles(now.data(), before.data(), kStride, c.area, &got);
    EXPECT_EQ(got, c.want) << c.changed.size() << " changed pixels, area " << c.area.left << ","
                           << c.area.top << "," << c.area.right << "," << c.area.bottom;
  }
}

}  // namespace

// The comparison against what was sent: which parts of a damaged rectangle go out, at every
// depth, at tile edges, for rectangles off the tile grid or partly off the area, and after
// the area changes.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "Common/UpdateHeader.h"
#include "server/SentPicture.h"

namespace {

constexpr int kTW = SentPicture::kTileWidth, kTH = SentPicture::kTileHeight;

// A screen of W x H pixels, rows of S bytes (filler bytes zero, as a capture gives them).
struct Screen {
  int w, h, bpp;
  std::size_t s;
  std::vector<uint8_t> bytes;
  Screen(int w_, int h_, int bpp_)
      : w(w_), h(h_), bpp(bpp_), s(static_cast<std::size_t>(ScanLineBytes(w_, bpp_))), bytes(s * static_cast<std::size_t>(h_)) {
    std::mt19937 rng(1);
    for (int y = 0; y < h; ++y)
      for (std::size_t i = 0; i < static_cast<std::size_t>(w * bpp / 8); ++i) bytes[y * s + i] = static_cast<uint8_t>(rng());
  }
  // Changes byte `which` of pixel (x, y): the last byte of a pixel must count as well.
  void Touch(int x, int y, int which = 0) { bytes[y * s + static_cast<std::size_t>(x * bpp / 8 + which)] ^= 0x5a; }
  // Pixels of r as a capture of r alone would give them: rows of ScanLineBytes(r) bytes.
  std::vector<uint8_t> Capture(const Rect& r, std::size_t* stride) const {
    *stride = static_cast<std::size_t>(ScanLineBytes(r.Width(), bpp));
    std::vector<uint8_t> out(*stride * static_cast<std::size_t>(r.Height()), 0);
    for (int y = r.top; y < r.bottom; ++y)
      for (int x = r.left; x < r.right; ++x)
        if (x >= 0 && y >= 0 && x < w && y < h)
          memcpy(&out[static_cast<std::size_t>(y - r.top) * *stride + static_cast<std::size_t>((x - r.left) * bpp / 8)],
                 &bytes[y * s + static_cast<std::size_t>(x * bpp / 8)], static_cast<std::size_t>(bpp / 8));
    return out;
  }
};

std::vector<Rect> Changes(SentPicture& p, const Screen& sc, const Rect& r) {
  std::size_t stride;
  const std::vector<uint8_t> px = sc.Capture(r, &stride);
  std::vector<Rect> out;
  p.Changes(r, px.data(), stride, out);
  return out;
}

void SendAll(SentPicture& p, const Screen& sc, const Rect& area) {
  std::size_t stride;
  const std::vector<uint8_t> px = sc.Capture(area, &stride);
  p.Sent(area, px.data(), stride);
}

std::string Str(const std::vector<Rect>& v) {
  std::string s;
  for (const Rect& r : v)
    s += "(" + std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right) + "," + std::to_string(r.bottom) + ")";
  return s;
}

// One changed pixel at each edge of a tile, at every depth and in each byte of the pixel:
// exactly that pixel goes out, and once it has, nothing does.
TEST(SentPictureTest, OneChangedPixelAtEveryTileEdgeAndDepth) {
  const Rect area{0, 0, 4 * kTW, 4 * kTH};
  const struct {
    int x, y;
  } spots[] = {{kTW, kTH},                // first pixel of tile (1, 1)
               {2 * kTW - 1, kTH + 5},    // last column of tile (1, 1)
               {kTW + 9, 2 * kTH - 1},    // last row of tile (1, 1)
               {2 * kTW - 1, 2 * kTH - 1},  // its last pixel
               {4 * kTW - 1, 4 * kTH - 1},  // the area's last pixel
               {0, 0}};
  for (int bpp : {8, 16, 24, 32}) {
    Screen sc(area.right, area.bottom, bpp);
    SentPicture p;
    ASSERT_TRUE(p.SetArea(area, bpp));
    SendAll(p, sc, area);
    EXPECT_EQ(Str(Changes(p, sc, area)), "") << "nothing changed, bpp " << bpp;
    for (const auto& spot : spots) {
      for (int which = 0; which < bpp / 8; ++which) {
        SCOPED_TRACE("bpp " + std::to_string(bpp) + " pixel (" + std::to_string(spot.x) + "," +
                     std::to_string(spot.y) + ") byte " + std::to_string(which));
        sc.Touch(spot.x, spot.y, which);
        EXPECT_EQ(Str(Changes(p, sc, area)), Str({Rect{spot.x, spot.y, spot.x + 1, spot.y + 1}}));
        EXPECT_EQ(Str(Changes(p, sc, area)), "");  // the copy took it
      }
    }
  }
}

// How changed tiles merge: a run across tiles is one rectangle; a caret across four tiles is
// one rectangle of exactly the caret; changes in separate tiles stay apart; runs of the same
// tiles in consecutive tile rows merge; different spans do not.
TEST(SentPictureTest, ChangedTilesMergeIntoFewTightRectangles) {
  const Rect area{0, 0, 8 * kTW, 6 * kTH};
  const struct {
    const char* what;
    std::vector<Rect> painted;
    std::vector<Rect> expected;
  } cases[] = {
      {"a caret across four tiles", {{kTW - 4, kTH - 8, kTW + 6, kTH + 12}}, {{kTW - 4, kTH - 8, kTW + 6, kTH + 12}}},
      {"a line across three tiles", {{10, 3, 3 * kTW - 10, 4}}, {{10, 3, 3 * kTW - 10, 4}}},
      {"two dots in tiles apart", {{5, 5, 6, 6}, {3 * kTW + 1, 2, 3 * kTW + 2, 3}}, {{5, 5, 6, 6}, {3 * kTW + 1, 2, 3 * kTW + 2, 3}}},
      {"a block over three tile rows", {{kTW + 2, 4, 2 * kTW + 9, 3 * kTH - 2}}, {{kTW + 2, 4, 2 * kTW + 9, 3 * kTH - 2}}},
      {"an L: different spans", {{0, 0, 3 * kTW, 2}, {0, kTH, 10, kTH + 1}},
       {{0, 0, 3 * kTW, 2}, {0, kTH, 10, kTH + 1}}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    Screen sc(area.right, area.bottom, 32);
    SentPicture p;
    ASSERT_TRUE(p.SetArea(area, 32));
    SendAll(p, sc, area);
    for (const Rect& r : k.painted)
      for (int y = r.top; y < r.bottom; ++y)
        for (int x = r.left; x < r.right; ++x) sc.Touch(x, y);
    EXPECT_EQ(Str(Changes(p, sc, area)), Str(k.expected));
  }
}

// Rectangles off the tile grid, partly outside the area, or outside it: only pixels inside r
// are compared and taken; what lies outside the area goes whole.
TEST(SentPictureTest, RectanglesOffTheGridAndOffTheArea) {
  const Rect area{100, 50, 100 + 4 * kTW, 50 + 4 * kTH};
  Screen sc(600, 200, 24);
  SentPicture p;
  ASSERT_TRUE(p.SetArea(area, 24));
  SendAll(p, sc, area);
  // Changed: one pixel inside r, one in the same tile but outside r.
  sc.Touch(140, 60);
  sc.Touch(160, 60);
  const Rect r{137, 55, 151, 111};  // inside the area, on no tile edge
  EXPECT_EQ(Str(Changes(p, sc, r)), Str({Rect{140, 60, 141, 61}}));
  // The pixel outside r was neither reported nor taken: a larger damage finds it.
  EXPECT_EQ(Str(Changes(p, sc, area)), Str({Rect{160, 60, 161, 61}}));
  // Partly outside: above and left of the area go whole, the inside is compared (unchanged).
  EXPECT_EQ(Str(Changes(p, sc, Rect{80, 40, 200, 80})), Str({Rect{80, 40, 200, 50}, Rect{80, 50, 100, 80}}));
  // Around the area on all sides, with one change inside.
  sc.Touch(area.right - 1, area.bottom - 1, 2);
  EXPECT_EQ(Str(Changes(p, sc, Rect{90, 45, 400, 130})),
            Str({Rect{90, 45, 400, 50}, Rect{90, 114, 400, 130}, Rect{90, 50, 100, 114}, Rect{356, 50, 400, 114},
                 Rect{355, 113, 356, 114}}));
  // Wholly outside: passed as it is.
  EXPECT_EQ(Str(Changes(p, sc, Rect{0, 0, 20, 20})), Str({Rect{0, 0, 20, 20}}));
}

// What is not known to have been sent goes out whole: a new area or depth forgets everything,
// the same area keeps the copy, a forgotten rectangle's tiles go whole, and tiles a damage
// holds only in part stay unknown until something covers them.
TEST(SentPictureTest, UnknownTilesGoWhole) {
  const Rect area{0, 0, 4 * kTW, 4 * kTH};
  Screen sc(area.right + kTW, area.bottom, 32);
  SentPicture p;
  EXPECT_EQ(Str(Changes(p, sc, Rect{1, 1, 5, 5})), Str({Rect{1, 1, 5, 5}})) << "no area yet";
  ASSERT_TRUE(p.SetArea(area, 32));
  EXPECT_EQ(Str(Changes(p, sc, Rect{1, 1, 5, 5})), Str({Rect{1, 1, 5, 5}})) << "never sent";
  EXPECT_EQ(Str(Changes(p, sc, Rect{1, 1, 5, 5})), Str({Rect{1, 1, 5, 5}})) << "tile held only in part";
  EXPECT_EQ(Str(Changes(p, sc, Rect{0, 0, kTW, kTH})), Str({Rect{0, 0, kTW, kTH}}));
  EXPECT_EQ(Str(Changes(p, sc, Rect{1, 1, 5, 5})), "") << "the whole tile went out";
  SendAll(p, sc, area);
  EXPECT_TRUE(p.SetArea(area, 32));
  EXPECT_EQ(Str(Changes(p, sc, area)), "") << "same area: the copy stays";
  p.Forget(Rect{kTW + 3, 3, kTW + 4, 4});
  EXPECT_EQ(Str(Changes(p, sc, area)), Str({Rect{kTW, 0, 2 * kTW, kTH}}));
  const Rect wider{0, 0, area.right + kTW, area.bottom};
  ASSERT_TRUE(p.SetArea(wider, 32));
  EXPECT_EQ(Str(Changes(p, sc, Rect{3, 3, 9, 9})), Str({Rect{3, 3, 9, 9}})) << "new area";
  SendAll(p, sc, wider);
  ASSERT_TRUE(p.SetArea(wider, 16));
  EXPECT_EQ(Str(Changes(p, Screen(wider.right, wider.bottom, 16), Rect{3, 3, 9, 9})), Str({Rect{3, 3, 9, 9}})) << "new depth";
  // No copy for what cannot be kept.
  EXPECT_FALSE(p.SetArea(Rect{0, 0, 0, 10}, 32));
  EXPECT_FALSE(p.SetArea(area, 15));
  EXPECT_FALSE(p.valid());
  EXPECT_EQ(Str(Changes(p, sc, Rect{1, 1, 5, 5})), Str({Rect{1, 1, 5, 5}}));
}

// Random damage over random changes: every changed pixel is covered, the rectangles stay
// inside the damage and do not overlap, and the same pixels again give nothing.
TEST(SentPictureTest, RandomDamageCoversEveryChangeOnce) {
  std::mt19937 rng(42);
  for (int bpp : {8, 16, 24, 32}) {
    const Rect area{0, 0, 333, 111};
    Screen sc(area.right, area.bottom, bpp);
    SentPicture p;
    ASSERT_TRUE(p.SetArea(area, bpp));
    SendAll(p, sc, area);
    for (int round = 0; round < 40; ++round) {
      std::vector<std::pair<int, int>> touched;
      for (int i = static_cast<int>(rng() % 30); i > 0; --i) {
        const int x = static_cast<int>(rng() % area.right), y = static_cast<int>(rng() % area.bottom);
        sc.Touch(x, y, static_cast<int>(rng() % static_cast<unsigned>(bpp / 8)));
        touched.push_back({x, y});
      }
      const int x0 = static_cast<int>(rng() % 200), y0 = static_cast<int>(rng() % 60);
      const Rect r{x0, y0, x0 + 1 + static_cast<int>(rng() % 133), y0 + 1 + static_cast<int>(rng() % 51)};
      const std::vector<Rect> out = Changes(p, sc, r);
      std::vector<int> cover(static_cast<std::size_t>(area.right * area.bottom), 0);
      for (const Rect& o : out) {
        ASSERT_EQ(Intersection(o, r), o) << Str(out);
        for (int y = o.top; y < o.bottom; ++y)
          for (int x = o.left; x < o.right; ++x) ASSERT_EQ(++cover[static_cast<std::size_t>(y * area.right + x)], 1) << Str(out);
      }
      for (const auto& [x, y] : touched)
        if (x >= r.left && x < r.right && y >= r.top && y < r.bottom) {
          EXPECT_EQ(cover[static_cast<std::size_t>(y * area.right + x)], 1);
        }
      EXPECT_EQ(Str(Changes(p, sc, r)), "");
      SendAll(p, sc, area);  // what lay outside r goes out with a refresh
    }
  }
}

// What goes whole is captured where the copy keeps it: PixelsOf points at a rectangle's first
// pixel (rows stride() apart) only when it lies wholly in the area; Took makes the tiles it
// covers whole known, one held in part stays unknown; a failed capture is forgotten.
TEST(SentPictureTest, WholeSendsAreCapturedStraightIntoTheCopy) {
  const Rect area{10, 20, 10 + 4 * kTW, 20 + 4 * kTH};
  Screen sc(area.right + 5, area.bottom, 32);
  SentPicture p;
  EXPECT_EQ(p.PixelsOf(area), nullptr) << "no copy yet";
  ASSERT_TRUE(p.SetArea(area, 32));
  EXPECT_EQ(p.PixelsOf(Rect{area.left - 1, area.top, area.right, area.bottom}), nullptr);
  EXPECT_EQ(p.PixelsOf(Rect{area.left, area.top, area.right + 1, area.top + 1}), nullptr);
  EXPECT_EQ(p.PixelsOf(Rect{}), nullptr);
  const Rect band{area.left + 3, area.top, area.right, area.top + kTH + 5};
  uint8_t* at = p.PixelsOf(band);
  ASSERT_NE(at, nullptr);
  std::size_t stride;
  const std::vector<uint8_t> px = sc.Capture(band, &stride);
  for (int y = 0; y < band.Height(); ++y)
    memcpy(at + static_cast<std::size_t>(y) * p.stride(), &px[static_cast<std::size_t>(y) * stride], stride);
  p.Took(band);
  const Rect first_row{area.left + kTW, area.top, area.right, area.top + kTH};
  EXPECT_EQ(Str(Changes(p, sc, first_row)), "") << "whole tiles taken";
  sc.Touch(area.right - 1, area.top + kTH - 1);
  EXPECT_EQ(Str(Changes(p, sc, first_row)), Str({Rect{area.right - 1, area.top + kTH - 1, area.right, area.top + kTH}}));
  const Rect in_part{area.left + kTW, area.top + kTH, area.left + kTW + 8, area.top + kTH + 2};
  EXPECT_EQ(Str(Changes(p, sc, in_part)), Str({in_part})) << "a tile held in part stays unknown";
  EXPECT_EQ(Str(Changes(p, sc, Rect{area.left, area.top, area.left + 2, area.top + 2})),
            Str({Rect{area.left, area.top, area.left + 2, area.top + 2}})) << "the first tile, held in part";
  p.Forget(Rect{area.left + kTW, area.top, area.left + kTW + 1, area.top + 1});
  EXPECT_EQ(Str(Changes(p, sc, first_row)), Str({Rect{area.left + kTW, area.top, area.left + 2 * kTW, area.top + kTH}}))
      << "a forgotten tile goes whole";
}

TEST(SentPictureTest, CopyCostsOnePictureAtTheAreaDepth) {
  SentPicture p;
  ASSERT_TRUE(p.SetArea(Rect{0, 0, 1920, 1080}, 32));
  EXPECT_GE(p.MemoryBytes(), 1920u * 1080 * 4);
  EXPECT_LT(p.MemoryBytes(), 1920u * 1080 * 4 + 64 * 1024);
  ASSERT_TRUE(p.SetArea(Rect{0, 0, 1920, 1080}, 24));
  EXPECT_LT(p.MemoryBytes(), 1920u * 1080 * 3 + 64 * 1024);
}

}  // namespace

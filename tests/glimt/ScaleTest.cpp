#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "glimt/Invalidation.h"
#include "glimt/PixelConvert.h"
#include "glimt/Scaler.h"

namespace {

// A picture or a reduced copy in memory, rows padded by a few bytes as QImage pads them.
struct Image {
  Image(int w, int h, int bpp) : width(w), height(h), bpp(bpp), stride(w * bpp / 8 + 4),
                                 bytes(static_cast<std::size_t>(stride) * h, 0) {}
  PixelSurface surface() { return {bytes.data(), width, height, stride, bpp}; }
  uint32_t At(int x, int y) const {
    uint32_t v = 0;
    std::memcpy(&v, &bytes[y * stride + x * (bpp / 8)], bpp / 8);
    return v;
  }
  void Fill(const AreaRect& r, std::mt19937& rng) {
    for (int y = r.top; y < r.bottom; ++y)
      for (int i = r.left * bpp / 8; i < r.right * bpp / 8; ++i)
        bytes[y * stride + i] = static_cast<uint8_t>(rng());
  }
  // Rows without their padding, for comparing two copies.
  std::vector<uint8_t> Pixels() const {
    std::vector<uint8_t> out;
    for (int y = 0; y < height; ++y)
      out.insert(out.end(), &bytes[y * stride], &bytes[y * stride] + width * bpp / 8);
    return out;
  }
  int width, height, bpp, stride;
  std::vector<uint8_t> bytes;
};

AreaRect Reduce(Scaler& scaler, Image& picture, const PixelLayout& layout, Image& out) {
  PixelSurface source = picture.surface(), dest = out.surface();
  return scaler.Update(source, layout, dest);
}

bool Inside(const AreaRect& inner, const AreaRect& outer) {
  return inner.left >= outer.left && inner.top >= outer.top && inner.right <= outer.right &&
         inner.bottom <= outer.bottom;
}

// After any sequence of small changes, the copy kept current change by change equals the copy
// made from scratch, byte for byte; and every pixel recomputed for a change lies inside the
// rectangle that the receive thread invalidates for it.
TEST(ScalerTest, RescalingChangedRectanglesEqualsRescalingEverything) {
  struct Case { int sw, sh, dw, dh; PixelLayout layout; };
  const PixelLayout rgb32 = ServerLayout(32), rgb16 = ServerLayout(16);
  const Case cases[] = {
      {96, 60, 64, 40, rgb32},   // 1.5 x
      {200, 100, 61, 37, rgb32}, // odd factors
      {120, 80, 40, 90, rgb16},  // reduced across, enlarged down
      {64, 64, 64, 20, rgb32},   // kept across
      {90, 45, 30, 15, ServerLayout(24)},  // 3 x, whole pixels per window pixel
      {300, 40, 20, 39, rgb32},  // 15 x across, barely reduced down
  };
  std::mt19937 rng(99);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.sw << "x" << c.sh << " to " << c.dw << "x" << c.dh);
    Image picture(c.sw, c.sh, c.layout.bits_per_pixel), kept(c.dw, c.dh, 32);
    picture.Fill({0, 0, c.sw, c.sh}, rng);
    Scaler scaler;
    scaler.Configure(c.sw, c.sh, c.dw, c.dh);
    Reduce(scaler, picture, c.layout, kept);
    const AreaRect area{100, 50, 100 + c.sw, 50 + c.sh};  // the server's coordinates
    for (int i = 0; i < 60; ++i) {
      // Small rectangles, often one pixel, often at an edge of the picture.
      const int w = 1 + static_cast<int>(rng() % (i % 3 ? 3 : 12));
      const int h = 1 + static_cast<int>(rng() % (i % 2 ? 2 : 9));
      const int l = i % 5 == 0 ? 0 : i % 5 == 1 ? c.sw - w : static_cast<int>(rng() % (c.sw - w + 1));
      const int t = i % 7 == 0 ? c.sh - h : static_cast<int>(rng() % (c.sh - h + 1));
      const AreaRect change{l, t, l + w, t + h};
      picture.Fill(change, rng);
      scaler.MarkChanged(change);
      const AreaRect done = Reduce(scaler, picture, c.layout, kept);
      EXPECT_TRUE(done.left < done.right && done.top < done.bottom);
      const AreaRect on_wire{change.left + 100, change.top + 50, change.right + 100,
                             change.bottom + 50};
      EXPECT_TRUE(Inside(done, InvalidationRect(area, c.dw, c.dh, on_wire)))
          << l << "," << t << " " << w << "x" << h;
    }
    Image fresh(c.dw, c.dh, 32);
    Scaler whole;
    whole.Configure(c.sw, c.sh, c.dw, c.dh);
    Reduce(whole, picture, c.layout, fresh);
    EXPECT_EQ(kept.Pixels(), fresh.Pixels());
    EXPECT_EQ(Reduce(scaler, picture, c.layout, kept).right, 0) << "nothing left to do";
  }
}

// A picture of 16 or 24 bits per pixel reduces to exactly what the same picture widened to
// 32 bits does: each of the rows a window row takes is converted on its own.
TEST(ScalerTest, PicturesOfEveryDepthReduceAlike) {
  std::mt19937 rng(5);
  for (int bpp : {16, 24}) {
    SCOPED_TRACE(bpp);
    const int sw = 90, sh = 60, dw = 30, dh = 17;  // several rows a window row
    Image narrow(sw, sh, bpp), wide(sw, sh, 32), a(dw, dh, 32), b(dw, dh, 32);
    narrow.Fill({0, 0, sw, sh}, rng);
    PixelConverter widen(ServerLayout(bpp), ServerLayout(32));
    for (int y = 0; y < sh; ++y)
      widen.ConvertRow(&narrow.bytes[y * narrow.stride], &wide.bytes[y * wide.stride], sw);
    Scaler one, other;
    one.Configure(sw, sh, dw, dh);
    other.Configure(sw, sh, dw, dh);
    Reduce(one, narrow, ServerLayout(bpp), a);
    Reduce(other, wide, ServerLayout(32), b);
    EXPECT_EQ(a.Pixels(), b.Pixels());
  }
}

// 0xffRRGGBB of a grey level.
uint32_t Grey(int v) { return 0xff000000u | uint32_t(v) * 0x010101u; }

TEST(ScalerTest, ReductionKeepsFlatAreasExactAndThinStrokesVisible) {
  struct Case { int sw, sh, dw, dh; };
  const Case cases[] = {{96, 30, 64, 20}, {90, 30, 30, 10}, {100, 10, 7, 3}, {1000, 3, 1, 1},
                        {37, 11, 36, 10}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.sw << "x" << c.sh << " to " << c.dw << "x" << c.dh);
    // A flat colour stays exactly that colour: the weights of every window pixel add up to one.
    for (int level : {0, 1, 128, 254, 255}) {
      Image picture(c.sw, c.sh, 32), out(c.dw, c.dh, 32);
      const uint32_t v = Grey(level);
      for (int y = 0; y < c.sh; ++y)
        for (int x = 0; x < c.sw; ++x) std::memcpy(&picture.bytes[y * picture.stride + x * 4], &v, 4);
      Scaler scaler;
      scaler.Configure(c.sw, c.sh, c.dw, c.dh);
      Reduce(scaler, picture, ServerLayout(32), out);
      for (int y = 0; y < c.dh; ++y)
        for (int x = 0; x < c.dw; ++x) ASSERT_EQ(out.At(x, y), Grey(level)) << x << "," << y;
    }
  }
  // A black line one pixel wide on white, at every position: reduced 3 x (where nearest
  // neighbour drops two lines of three) it always adds a third of its ink to the window row,
  // darkening at least one window pixel by a quarter. (At the edges the kernel is cut and
  // renormalised, so the ink there may be a little more or less.)
  for (int at = 0; at < 30; ++at) {
    Image picture(30, 3, 32), out(10, 1, 32);
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 30; ++x) {
        const uint32_t v = x == at ? Grey(0) : Grey(255);
        std::memcpy(&picture.bytes[y * picture.stride + x * 4], &v, 4);
      }
    Scaler scaler;
    scaler.Configure(30, 3, 10, 1);
    Reduce(scaler, picture, ServerLayout(32), out);
    int ink = 0, darkest = 255;
    for (int x = 0; x < 10; ++x) {
      const int v = static_cast<int>(out.At(x, 0) & 0xff);
      ASSERT_EQ(out.At(x, 0), Grey(v));
      ink += 255 - v;
      darkest = std::min(darkest, v);
    }
    const bool edge = at < 3 || at >= 27;
    EXPECT_NEAR(ink, 85, edge ? 20 : 3) << at;
    EXPECT_LE(darkest, 192) << at;
  }
}

TEST(ScalerTest, AnAxisKeptOrEnlargedTakesThePixelUnderEachCentre) {
  // 4 columns shown in 10: window pixel x shows picture column (2x + 1) * 4 / 20.
  Image picture(4, 6, 32), out(10, 3, 32);
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 4; ++x) {
      const uint32_t v = Grey(x * 60 + (y / 2) * 3);
      std::memcpy(&picture.bytes[y * picture.stride + x * 4], &v, 4);
    }
  Scaler scaler;
  scaler.Configure(4, 6, 10, 3);
  Reduce(scaler, picture, ServerLayout(32), out);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 10; ++x)
      EXPECT_EQ(out.At(x, y), Grey((2 * x + 1) * 4 / 20 * 60 + y * 3)) << x << "," << y;
}

TEST(PixelConverterTest, OnlyTrueColourLayoutsWithSeparateMasksConvert) {
  struct Case { PixelLayout layout; bool ok; };
  const Case cases[] = {
      {ServerLayout(16), true}, {ServerLayout(24), true}, {ServerLayout(32), true},
      {{16, 0x7C00, 0x03E0, 0x001F}, true}, {{32, 0xFF, 0xFF00, 0xFF0000}, true},
      {{32, 0x3FF00000, 0xFFC00, 0x3FF}, true},  // 10 bits a channel
      {ServerLayout(8), false}, {{8, 0xE0, 0x1C, 0x03}, false},
      {{16, 0xF800, 0x0FE0, 0x001F}, false},     // overlapping
      {{16, 0xF801, 0x07E0, 0x001E}, false},     // not contiguous
      {{16, 0x1F0000, 0x07E0, 0x001F}, false},   // outside the pixel
      {{32, 0xFF0000, 0, 0xFF}, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(IsConvertible(c.layout), c.ok)
        << c.layout.bits_per_pixel << " " << std::hex << c.layout.red_mask << " "
        << c.layout.green_mask;
  // 5-6-5 to 8-8-8 and back is the identity for every pixel.
  PixelConverter up(ServerLayout(16), ServerLayout(32)), down(ServerLayout(32), ServerLayout(16));
  std::vector<uint16_t> all(65536), back(65536);
  std::vector<uint32_t> wide(65536);
  for (int i = 0; i < 65536; ++i) all[i] = static_cast<uint16_t>(i);
  up.ConvertRow(reinterpret_cast<uint8_t*>(all.data()), reinterpret_cast<uint8_t*>(wide.data()),
                65536);
  down.ConvertRow(reinterpret_cast<uint8_t*>(wide.data()), reinterpret_cast<uint8_t*>(back.data()),
                  65536);
  EXPECT_EQ(all, back);
  EXPECT_EQ(wide[0xFFFF], 0xFFFFFFFFu);
  EXPECT_EQ(wide[0xF800], 0xFFFF0000u);
  // Channels that are not whole bytes (10 bits each) go through shifts, not byte lookups.
  PixelConverter from_ten({32, 0x3FF00000, 0xFFC00, 0x3FF}, ServerLayout(32));
  const uint32_t ten[3] = {0x3FF00000u | 0x200u << 10 | 0x001u, 0, 0x3FFFFFFFu};
  uint32_t eight[3] = {};
  from_ten.ConvertRow(reinterpret_cast<const uint8_t*>(ten), reinterpret_cast<uint8_t*>(eight),
                      3);
  EXPECT_EQ(eight[0], 0xFFFF8000u);  // 1023 -> 255, 512 -> 128, 1 -> 0
  EXPECT_EQ(eight[1], 0xFF000000u);
  EXPECT_EQ(eight[2], 0xFFFFFFFFu);
}

TEST(PendingRepaintsTest, ABurstBecomesAFewRectanglesAndOneCall) {
  PendingRepaints p;
  EXPECT_FALSE(p.Add({5, 5, 5, 9})) << "empty: nothing to repaint";
  EXPECT_TRUE(p.Add({0, 0, 10, 2})) << "the first asks for the call";
  // Strips of a refresh, each touching the last: one rectangle.
  for (int y = 2; y < 100; y += 2) EXPECT_FALSE(p.Add({0, y, 10, y + 2}));
  EXPECT_FALSE(p.Add({500, 500, 510, 510}));  // apart
  std::vector<AreaRect> taken = p.Take();
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(taken[0].bottom, 100);
  EXPECT_EQ(taken[1].left, 500);
  EXPECT_TRUE(p.Take().empty());
  // More apart than kMaxRects: merged into their bounds.
  EXPECT_TRUE(p.Add({0, 0, 1, 1}));
  for (int i = 1; i <= static_cast<int>(PendingRepaints::kMaxRects); ++i)
    p.Add({i * 10, 0, i * 10 + 1, 1});
  taken = p.Take();
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_EQ(taken[0].right, static_cast<int>(PendingRepaints::kMaxRects) * 10 + 1);
  EXPECT_TRUE(p.Add({0, 0, 1, 1})) << "taken: the next one asks again";
}

}  // namespace

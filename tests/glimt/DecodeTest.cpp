#include "glimt/Decode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>

#include "Common/StreamKey.h"
#include "tests/glimt/BlockTestSupport.h"

using namespace glimttest;

namespace {

struct CheckCase {
  const char* what;
  std::vector<uint8_t> datagram;
  std::size_t received;  // bytes the receive call returned
  DatagramCheck expected;
};

TEST(DatagramCheckTest, JudgesEveryKindOfDatagramByTheBytesReceived) {
  const std::vector<uint8_t> z(40, 0);
  auto block = [&](int32_t l, int32_t t, int32_t r, int32_t b) { return Block(l, t, r, b, z); };
  const std::vector<uint8_t> area = Header(UPDATE_AREA, 0, 0, 0, 1024, 768);
  std::vector<CheckCase> cases = {
      {"empty", {}, 0, DatagramCheck::kShort},
      {"10 bytes", std::vector<uint8_t>(area.begin(), area.begin() + 10), 10,
       DatagramCheck::kShort},
      {"19 bytes", std::vector<uint8_t>(area.begin(), area.begin() + 19), 19,
       DatagramCheck::kShort},
      {"area", area, 20, DatagramCheck::kUse},
      {"pointer", Header(UPDATE_POINTER, 0, -5, 3, 0, 0), 20, DatagramCheck::kUse},
      {"kind 3", Header(3, 0, 0, 0, 0, 0), 20, DatagramCheck::kUnknownKind},
      {"block exact", block(0, 0, 10, 10), 60, DatagramCheck::kUse},
      {"block with trailing bytes", block(0, 0, 10, 10), 60, DatagramCheck::kUse},
      {"block length one too large", block(0, 0, 10, 10), 59, DatagramCheck::kTruncated},
      {"block header only", block(0, 0, 10, 10), 20, DatagramCheck::kTruncated},
      {"zero width", block(10, 0, 10, 10), 60, DatagramCheck::kBadRect},
      {"zero height", block(0, 10, 10, 10), 60, DatagramCheck::kBadRect},
      {"inverted", block(10, 10, 0, 0), 60, DatagramCheck::kBadRect},
      {"32-bit overflow", block(INT32_MIN, 0, INT32_MAX, 1), 60, DatagramCheck::kBadRect},
      {"huge height", block(0, INT32_MIN, 1, INT32_MAX), 60, DatagramCheck::kBadRect},
      // The server's depth is not known here: a block passes when it fits the decode buffer
      // at 8 bits per pixel, the smallest (1000 x 262 bytes fit, 1000 x 263 do not).
      {"1000x66 fits at 8 bits", block(0, 0, 1000, 66), 60, DatagramCheck::kUse},
      {"1000x261 fits at 8 bits", block(0, 0, 1000, 261), 60, DatagramCheck::kUse},
      {"1000x262 fits at 8 bits", block(0, 0, 1000, 262), 60, DatagramCheck::kUse},
      {"1000x263 fits no depth", block(0, 0, 1000, 263), 60, DatagramCheck::kBadRect},
  };
  cases[7].datagram.resize(80, 0xAA);
  cases[7].received = 80;
  for (const CheckCase& c : cases) {
    UpdateHeader h;
    EXPECT_EQ(CheckDatagram(c.datagram.data(), c.received, h), c.expected) << c.what;
  }
}

TEST(BlockGeometryTest, ScanLinesRoundUpToSixteenBitWords) {
  struct Case { int32_t w, h; int bpp; int64_t s, bytes; };
  const Case cases[] = {
      {100, 10, 16, 200, 2000}, {3, 1, 24, 10, 10}, {3, 1, 8, 4, 4},
      {3, 2, 32, 12, 24},       {3, 2, 16, 6, 12},  {1, 1, 8, 2, 2},
      {1000, 60, 32, 4000, 240000},
  };
  for (const Case& c : cases) {
    BlockSize size;
    ASSERT_TRUE(BlockGeometry(UpdateHeader{UPDATE_BLOCK, 0, 7, 9, 7 + c.w, 9 + c.h}, c.bpp,
                              &size))
        << c.w << "x" << c.h << "@" << c.bpp;
    EXPECT_EQ(size.scan_line, c.s);
    EXPECT_EQ(size.bytes, c.bytes);
  }
}

TEST(AreaTest, OnlyPositiveSizesUpToTheXLimitAreTaken) {
  struct Case { AreaRect a; bool usable; };
  const Case cases[] = {
      {{0, 0, 1024, 768}, true},     {{0, 0, 0, 768}, false},
      {{0, 0, 1024, 0}, false},      {{10, 10, 5, 20}, false},
      {{0, 0, 32767, 32767}, true},  {{0, 0, 32768, 10}, false},
      {{-100, -50, 540, 430}, true}, {{INT32_MIN, 0, INT32_MAX, 10}, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(IsUsableArea(c.a), c.usable) << c.a.left << "," << c.a.top << "," << c.a.right
                                           << "," << c.a.bottom;
}

TEST(ScalingTest, PointsAndRectanglesMapRelativeToTheAreaCorner) {
  struct Case { AreaRect area; int cw, ch; AreaRect in, out; };
  const Case cases[] = {
      // Half size: the documented examples (right/bottom truncate).
      {{0, 0, 1024, 768}, 512, 384, {10, 10, 21, 21}, {5, 5, 10, 10}},
      {{0, 0, 1024, 768}, 1024, 768, {10, 10, 21, 21}, {10, 10, 21, 21}},
      // An area away from the origin: its corner is client (0, 0).
      {{100, 50, 740, 530}, 640, 480, {100, 50, 110, 60}, {0, 0, 10, 10}},
      {{-200, -100, 440, 380}, 640, 480, {-200, -100, 0, 0}, {0, 0, 200, 100}},
      // Double size.
      {{0, 0, 320, 240}, 640, 480, {1, 1, 3, 3}, {2, 2, 6, 6}},
  };
  for (const Case& c : cases) {
    const AreaRect r = ScaleRect(c.area, c.cw, c.ch, c.in);
    EXPECT_EQ(r.left, c.out.left);
    EXPECT_EQ(r.top, c.out.top);
    EXPECT_EQ(r.right, c.out.right);
    EXPECT_EQ(r.bottom, c.out.bottom);
  }
  struct PointCase { AreaRect area; int cw, ch; int32_t x, y, cx, cy; };
  const PointCase points[] = {
      {{0, 0, 1024, 768}, 512, 384, 512, 384, 256, 192},
      {{100, 50, 740, 530}, 640, 480, 420, 290, 320, 240},
      {{0, 0, 1024, 768}, 512, 384, -5, -3, -2, -1},  // truncation toward zero
      {{0, 0, 1, 1}, 32767, 32767, INT32_MAX, INT32_MIN, INT32_MAX, INT32_MIN},  // clamped
      {{0, 0, 1024, 768}, 0, 0, 500, 500, 0, 0},  // window with no size yet
  };
  for (const PointCase& p : points) {
    int32_t x = 1, y = 1;
    ScalePoint(p.area, p.cw, p.ch, p.x, p.y, &x, &y);
    EXPECT_EQ(x, p.cx) << p.x;
    EXPECT_EQ(y, p.cy) << p.y;
  }
  EXPECT_EQ(ScaleCoordinate(10, 100, 0), 0);
  EXPECT_EQ(ScaleCoordinate(10, 100, -4), 0);
}

TEST(ScalingTest, InvalidationCoversEveryClientPixelTheBlockCanReach) {
  // At one pixel per pixel the rectangle is exact.
  AreaRect r = InvalidationRect({0, 0, 1024, 768}, 1024, 768, {10, 10, 21, 21});
  EXPECT_EQ(r.left, 10);
  EXPECT_EQ(r.right, 21);
  // Scaled: two pixels more on each side (the smooth reduction's reach), inside the client
  // area; whether that is enough for every ratio is ScalerTest's to show.
  r = InvalidationRect({0, 0, 1024, 768}, 512, 384, {10, 10, 21, 21});
  EXPECT_EQ(r.left, 3);
  EXPECT_EQ(r.top, 3);
  EXPECT_EQ(r.right, 12);
  EXPECT_EQ(r.bottom, 12);
  r = InvalidationRect({0, 0, 1024, 768}, 512, 384, {0, 0, 1024, 768});
  EXPECT_EQ(r.left, 0);
  EXPECT_EQ(r.top, 0);
  EXPECT_EQ(r.right, 512);
  EXPECT_EQ(r.bottom, 384);
  // Far outside: clipped to nothing rather than wrapping around.
  r = InvalidationRect({0, 0, 1024, 768}, 512, 384, {INT32_MAX - 5, 0, INT32_MAX, 10});
  EXPECT_EQ(r.left, r.right);
}

// A picture with guard bytes on every side, so that writes outside it are seen.
class Picture {
 public:
  Picture(int w, int h, int bpp, uint8_t fill = 0x55)
      : w_(w), h_(h), bpp_(bpp), stride_(w * bpp / 8 + 8),
        mem_(static_cast<std::size_t>(stride_) * (h + 2), fill) {
    std::memset(mem_.data(), kGuard, stride_);
    std::memset(mem_.data() + stride_ * (h + 1), kGuard, stride_);
    for (int y = 1; y <= h; ++y) {
      std::memset(mem_.data() + stride_ * y + w * bpp / 8, kGuard, 8);
    }
  }
  PixelSurface surface() {
    return PixelSurface{mem_.data() + stride_, w_, h_, stride_, bpp_};
  }
  const uint8_t* pixel(int x, int y) const {
    return mem_.data() + stride_ * (y + 1) + x * (bpp_ / 8);
  }
  bool GuardsIntact() const {
    for (int x = 0; x < stride_; ++x)
      if (mem_[x] != kGuard || mem_[stride_ * (h_ + 1) + x] != kGuard) return false;
    for (int y = 1; y <= h_; ++y)
      for (int i = 0; i < 8; ++i)
        if (mem_[stride_ * y + w_ * bpp_ / 8 + i] != kGuard) return false;
    return true;
  }
  static constexpr uint8_t kGuard = 0xEE;
 private:
  int w_, h_, bpp_;
  int64_t stride_;
  std::vector<uint8_t> mem_;
};

std::vector<uint8_t> Rows(int w, int h, int bpp, uint8_t filler = 0xF0) {
  const int64_t s = ScanLineBytes(w, bpp);
  std::vector<uint8_t> raw(static_cast<std::size_t>(s * h), filler);
  for (int y = 0; y < h; ++y)
    for (int i = 0; i < w * bpp / 8; ++i) raw[y * s + i] = static_cast<uint8_t>(y * 16 + i + 1);
  return raw;
}

// A decoder for a picture of the given depth in the usual layout. primed: it has seen one
// block of a server at that depth, as after the first block of a refresh.
std::unique_ptr<BlockDecoder> Decoder(int bpp, bool primed = true) {
  auto decoder = std::make_unique<BlockDecoder>(ServerLayout(bpp));
  if (primed) {
    Picture scratch(4, 4, bpp);
    PixelSurface s = scratch.surface();
    decoder->Decode(s, {0, 0, 4, 4}, Block(0, 0, 2, 2, Compress(Rows(2, 2, bpp))).data());
    EXPECT_EQ(decoder->depth().bits_per_pixel(), bpp);
  }
  return decoder;
}

DecodeResult DecodeBlockInto(PixelSurface& s, const AreaRect& area, const uint8_t* datagram,
                             std::size_t* produced = nullptr) {
  DecodeInfo info;
  const DecodeResult r = Decoder(s.bits_per_pixel)->Decode(s, area, datagram, &info);
  if (produced) *produced = info.produced;
  return r;
}

TEST(DecodeBlockTest, PixelsLandAtTheirPlaceAndPaddingIsNotDrawn) {
  for (int bpp : {32, 24, 16}) {
    SCOPED_TRACE(bpp);
    Picture pic(8, 6, bpp);
    PixelSurface s = pic.surface();
    const auto d = Block(2, 1, 5, 3, Compress(Rows(3, 2, bpp)));  // 3 pixels wide
    EXPECT_EQ(DecodeBlockInto(s, {0, 0, 8, 6}, d.data()), DecodeResult::kDrawn);
    const int b = bpp / 8;
    for (int y = 0; y < 2; ++y)
      for (int i = 0; i < 3 * b; ++i) {
        uint8_t want = static_cast<uint8_t>(y * 16 + i + 1);
        if (bpp == 32 && i % 4 == 3) want = 0xFF;  // the picture is 0xffRRGGBB
        EXPECT_EQ(pic.pixel(2, 1 + y)[i], want) << "row " << y << " byte " << i;
      }
    // The filler byte of a padded row is not a pixel: the next picture pixel is untouched.
    EXPECT_EQ(pic.pixel(5, 1)[0], 0x55);
    EXPECT_EQ(pic.pixel(1, 1)[0], 0x55);
    EXPECT_EQ(pic.pixel(2, 3)[0], 0x55);
    EXPECT_TRUE(pic.GuardsIntact());
  }
}

TEST(DecodeBlockTest, BlocksAreClippedToThePictureAndPlacedFromTheAreaCorner) {
  struct Case { AreaRect area; AreaRect block; int x, y; };  // (x, y): where block (0,0) lands
  const Case cases[] = {
      {{0, 0, 8, 6}, {-2, -1, 2, 2}, -2, -1},
      {{0, 0, 8, 6}, {6, 4, 10, 8}, 6, 4},
      {{100, 50, 108, 56}, {100, 50, 104, 53}, 0, 0},
      {{100, 50, 108, 56}, {98, 48, 102, 52}, -2, -2},
      {{0, 0, 8, 6}, {20, 20, 24, 24}, 20, 20},  // wholly outside
  };
  for (const Case& c : cases) {
    Picture pic(8, 6, 32);
    PixelSurface s = pic.surface();
    const int w = c.block.right - c.block.left, h = c.block.bottom - c.block.top;
    std::vector<uint8_t> raw(static_cast<std::size_t>(w * h * 4), 0x11);
    const auto d = Block(c.block.left, c.block.top, c.block.right, c.block.bottom, Compress(raw));
    EXPECT_EQ(DecodeBlockInto(s, c.area, d.data()), DecodeResult::kDrawn);
    EXPECT_TRUE(pic.GuardsIntact());
    for (int y = 0; y < 6; ++y)
      for (int x = 0; x < 8; ++x) {
        const bool inside = x >= c.x && x < c.x + w && y >= c.y && y < c.y + h;
        EXPECT_EQ(pic.pixel(x, y)[0], inside ? 0x11 : 0x55) << x << "," << y;
      }
  }
}

TEST(DecodeBlockTest, DamagedShortAndLongStreamsNeverShowForeignMemory) {
  const int w = 4, h = 4;
  const std::vector<uint8_t> raw(w * h * 4, 0x22);
  std::vector<uint8_t> z = Compress(raw);

  // One corrupted byte: the Adler-32 or the deflate data no longer check; nothing is drawn.
  for (std::size_t i = 2; i < z.size(); ++i) {
    std::vector<uint8_t> bad = z;
    bad[i] ^= 0x5A;
    Picture pic(w, h, 32);
    PixelSurface s = pic.surface();
    const auto d = Block(0, 0, w, h, bad);
    const DecodeResult r = DecodeBlockInto(s, {0, 0, w, h}, d.data());
    if (r == DecodeResult::kSkipped) {
      EXPECT_EQ(pic.pixel(0, 0)[0], 0x55);
    } else {
      // A flip that still inflates to a valid stream draws only bytes the stream produced.
      for (int y = 0; y < h; ++y) EXPECT_NE(pic.pixel(0, y)[0], 0x55);
    }
    EXPECT_TRUE(pic.GuardsIntact());
  }

  // A stream cut short (length smaller than the stream): skipped.
  {
    Picture pic(w, h, 32);
    PixelSurface s = pic.surface();
    const auto d = Block(0, 0, w, h, std::vector<uint8_t>(z.begin(), z.end() - 6));
    EXPECT_EQ(DecodeBlockInto(s, {0, 0, w, h}, d.data()), DecodeResult::kSkipped);
    EXPECT_EQ(pic.pixel(0, 0)[0], 0x55);
  }

  // A valid stream of 2.5 rows (a length that fits no depth): what it wrote is drawn, the
  // rest is black (never heap data, never an earlier block's pixels).
  for (int pass = 0; pass < 2; ++pass) {
    Picture pic(w, h, 32);
    PixelSurface s = pic.surface();
    const uint8_t ink = pass ? 0x33 : 0x22;
    const auto d = Block(0, 0, w, h, Compress(std::vector<uint8_t>(w * 10, ink)));
    std::size_t produced = 0;
    EXPECT_EQ(DecodeBlockInto(s, {0, 0, w, h}, d.data(), &produced), DecodeResult::kDrawnShort);
    EXPECT_EQ(produced, std::size_t{w * 10});
    for (int y = 0; y < h; ++y) {
      EXPECT_EQ(pic.pixel(1, y)[0], y <= 2 ? ink : 0x00) << y;
      EXPECT_EQ(pic.pixel(2, y)[0], y <= 1 ? ink : 0x00) << y;
      EXPECT_EQ(pic.pixel(1, y)[3], 0xFF) << y;
    }
  }

  // More bytes than the block holds: drawn from its first H*S bytes.
  {
    Picture pic(w, h, 32);
    PixelSurface s = pic.surface();
    std::vector<uint8_t> longer(w * h * 4, 0x33);
    longer.resize(longer.size() + 100, 0x44);
    const auto d = Block(0, 0, w, h, Compress(longer));
    EXPECT_EQ(DecodeBlockInto(s, {0, 0, w, h}, d.data()), DecodeResult::kDrawnShort);
    EXPECT_EQ(pic.pixel(w - 1, h - 1)[0], 0x33);
    EXPECT_TRUE(pic.GuardsIntact());
  }

  // More than the whole 262,144-byte decode buffer: the buffer fills, the block is drawn.
  {
    Picture pic(w, h, 32);
    PixelSurface s = pic.surface();
    const auto d = Block(0, 0, w, h, Compress(std::vector<uint8_t>(300000, 0x66)));
    std::size_t produced = 0;
    EXPECT_EQ(DecodeBlockInto(s, {0, 0, w, h}, d.data(), &produced), DecodeResult::kDrawnShort);
    EXPECT_EQ(produced, kDecodeBufferBytes);
    EXPECT_EQ(pic.pixel(0, 0)[0], 0x66);
  }
}

TEST(DecodeBlockTest, BadRectanglesAndMissingPicturesAreSkipped) {
  const auto z = Compress(std::vector<uint8_t>(64, 1));
  const std::vector<std::vector<uint8_t>> bad = {
      Block(0, 0, 0, 4, z), Block(0, 4, 4, 0, z), Block(INT32_MIN, 0, INT32_MAX, 1, z),
      Block(0, 0, 1000, 66, z), Header(UPDATE_AREA, 0, 0, 0, 4, 4),
  };
  for (const auto& d : bad) {
    Picture pic(4, 4, 32);
    PixelSurface s = pic.surface();
    EXPECT_EQ(DecodeBlockInto(s, {0, 0, 4, 4}, d.data()), DecodeResult::kSkipped);
    EXPECT_EQ(pic.pixel(0, 0)[0], 0x55);
  }
  PixelSurface none;
  EXPECT_EQ(Decoder(32)->Decode(none, {0, 0, 4, 4}, Block(0, 0, 4, 4, z).data()),
            DecodeResult::kSkipped);
}

TEST(ServerDepthTest, TheBlockLengthDecidesOnlyWhenItFitsExactlyOneDepth) {
  struct Step {
    const char* what;
    int64_t w, h;
    std::size_t produced;
    bool ended;
    int taken, known_after;
  };
  const Step steps[] = {
      {"1 pixel wide: 8 and 16 bits give S = 2", 1, 10, 20, true, 0, 0},
      {"a length that fits no depth", 10, 10, 123, true, 0, 0},
      {"exactly 16 bits, but the stream ran on", 10, 10, 200, false, 0, 0},
      {"exactly 16 bits", 10, 10, 200, true, 16, 16},
      {"1 pixel wide, 16 among the fits", 1, 10, 20, true, 16, 16},
      {"1 pixel wide, only 24 and 32 fit", 1, 10, 40, true, 0, 16},
      {"short stream: drawn at the known depth", 10, 10, 150, true, 16, 16},
      {"long stream: drawn at the known depth", 10, 10, 262144, false, 16, 16},
      {"exactly 32 bits contradicts and wins", 10, 10, 400, true, 32, 32},
      {"8 bits is decided like any other", 10, 10, 100, true, 8, 8},
      {"24 bits, odd width (S = 3W + 1)", 5, 4, 64, true, 24, 24},
      {"too big for the buffer at 32 bits: only 16 fits", 1024, 128, 262144, true, 16, 16},
  };
  ServerDepth depth;
  for (const Step& s : steps) {
    EXPECT_EQ(depth.Judge(s.w, s.h, s.produced, s.ended), s.taken) << s.what;
    EXPECT_EQ(depth.bits_per_pixel(), s.known_after) << s.what;
  }
  depth.Forget();
  EXPECT_EQ(depth.bits_per_pixel(), 0);
  EXPECT_EQ(depth.Judge(10, 10, 150, true), 0) << "nothing known after a new area";
}

// Blocks of exactly the decode buffer's size at each server depth, one row fewer and one row
// more, decoded into a 32-bit picture by a decoder that knows nothing yet.
TEST(DecodeBlockTest, TheDecodeBufferBoundsABlockAtTheServersOwnDepth) {
  struct Case { int bpp, w, h; };  // h * ScanLineBytes(w, bpp) == 262,144
  const Case cases[] = {{8, 1024, 256}, {16, 1024, 128}, {24, 341, 256}, {32, 1024, 64}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bpp);
    ASSERT_EQ(c.h * ScanLineBytes(c.w, c.bpp), static_cast<int64_t>(kDecodeBufferBytes));
    Picture pic(c.w, c.h + 1, 32, 0x55);
    PixelSurface s = pic.surface();
    BlockDecoder decoder(ServerLayout(32));
    const auto block = [&](int rows) {
      return Block(0, 0, c.w, rows, Compress(Rows(c.w, rows, c.bpp, 0)));
    };
    const DecodeResult drawn = c.bpp == 8 ? DecodeResult::kSkipped : DecodeResult::kDrawn;
    EXPECT_EQ(decoder.Decode(s, {0, 0, c.w, c.h + 1}, block(c.h + 1).data()),
              DecodeResult::kSkipped);
    EXPECT_EQ(decoder.depth().bits_per_pixel(), 0);
    EXPECT_EQ(pic.pixel(0, c.h)[0], 0x55);
    EXPECT_EQ(decoder.Decode(s, {0, 0, c.w, c.h + 1}, block(c.h - 1).data()), drawn);
    EXPECT_EQ(decoder.depth().bits_per_pixel(), c.bpp);
    EXPECT_EQ(decoder.Decode(s, {0, 0, c.w, c.h + 1}, block(c.h).data()), drawn);
    // Known now, and still too big one row more.
    EXPECT_EQ(decoder.Decode(s, {0, 0, c.w, c.h + 1}, block(c.h + 1).data()),
              DecodeResult::kSkipped);
    EXPECT_EQ(pic.pixel(0, c.h)[0], 0x55);
    // An 8-bit server's indexes are never drawn; others land on the last row they cover.
    EXPECT_EQ(pic.pixel(c.w - 1, c.h - 1)[0] != 0x55, c.bpp != 8);
    EXPECT_TRUE(pic.GuardsIntact());
  }
}

// What a viewer pixel reads as 8-bit red, green, blue.
uint32_t Rgb(const uint8_t* p, const PixelLayout& l) {
  uint32_t v = p[0] | uint32_t{p[1]} << 8;
  if (l.bits_per_pixel > 16) v |= uint32_t{p[2]} << 16;
  if (l.bits_per_pixel > 24) v |= uint32_t{p[3]} << 24;
  uint32_t out = 0;
  for (uint32_t m : {l.red_mask, l.green_mask, l.blue_mask}) {
    const int shift = __builtin_ctz(m), width = __builtin_popcount(m);
    const uint32_t max = (1u << width) - 1;
    out = out << 8 | (((v & m) >> shift) * 255 * 2 + max) / (2 * max);
  }
  return out;
}

TEST(DecodeBlockTest, OtherDepthsAreConvertedToWithinHalfALevelOfTheNarrowerChannel) {
  // Every 16-bit pixel value once, and 8-bit channels swept over their whole range.
  std::vector<uint8_t> all16(65536 * 2);
  for (int p = 0; p < 65536; ++p) {
    all16[p * 2] = static_cast<uint8_t>(p);
    all16[p * 2 + 1] = static_cast<uint8_t>(p >> 8);
  }
  std::vector<uint8_t> sweep32(256 * 64 * 4), sweep24(256 * 64 * 3);
  for (int i = 0; i < 256 * 64; ++i) {
    const uint8_t b = static_cast<uint8_t>(i), g = static_cast<uint8_t>(i * 7 + i / 256),
                  r = static_cast<uint8_t>(255 - i - i / 256);
    const uint8_t px[4] = {b, g, r, 0};
    std::copy(px, px + 4, &sweep32[i * 4]);
    std::copy(px, px + 3, &sweep24[i * 3]);
  }
  struct Case { int server; const std::vector<uint8_t>& raw; PixelLayout viewer; int tolerance; };
  const PixelLayout rgb16 = ServerLayout(16), rgb555{16, 0x7C00, 0x03E0, 0x001F};
  const PixelLayout rgbx{32, 0xFF, 0xFF00, 0xFF0000};
  const Case cases[] = {
      {16, all16, ServerLayout(32), 0}, {16, all16, ServerLayout(24), 0}, {16, all16, rgbx, 0},
      {32, sweep32, rgb16, 4},          {24, sweep24, rgb16, 4},          {32, sweep32, rgb555, 4},
      {24, sweep32, ServerLayout(32), 0}, {32, sweep24, ServerLayout(24), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.server << " bits to " << c.viewer.bits_per_pixel
                                    << " bits, red " << std::hex << c.viewer.red_mask);
    const int w = 256, h = static_cast<int>(c.raw.size() / (w * c.server / 8));
    Picture pic(w, h, c.viewer.bits_per_pixel);
    PixelSurface s = pic.surface();
    BlockDecoder decoder(c.viewer);
    const std::vector<uint8_t> raw(c.raw.begin(), c.raw.begin() + w * h * c.server / 8);
    for (int t = 0; t < h; t += 32) {  // bands that compress to less than 64 KiB
      const int b = std::min(h, t + 32);
      const std::vector<uint8_t> band(&raw[t * w * c.server / 8], &raw[b * w * c.server / 8]);
      DecodeInfo info;
      ASSERT_EQ(decoder.Decode(s, {0, 0, w, h}, Block(0, t, w, b, Compress(band)).data(), &info),
                DecodeResult::kDrawn);
      EXPECT_EQ(info.server_bits_per_pixel, c.server);
    }
    const PixelLayout from = ServerLayout(c.server);
    int worst = 0;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const uint32_t want = Rgb(&raw[(y * w + x) * c.server / 8], from);
        const uint32_t got = Rgb(pic.pixel(x, y), c.viewer);
        for (int k = 0; k < 24; k += 8)
          worst = std::max(worst, std::abs(int((want >> k) & 0xff) - int((got >> k) & 0xff)));
        if (c.viewer.bits_per_pixel == 32) {
          ASSERT_EQ(pic.pixel(x, y)[3], 0xFF);
        }
      }
    EXPECT_LE(worst, c.tolerance);
    EXPECT_TRUE(pic.GuardsIntact());
  }
}

TEST(DecodeBlockTest, RandomDatagramsNeverWriteOutsideThePicture) {
  std::mt19937 rng(12345);
  Picture pic(64, 48, 32);
  PixelSurface s = pic.surface();
  BlockDecoder decoder(ServerLayout(32));
  std::vector<uint8_t> buf(kReceiveBufferBytes);
  for (int i = 0; i < 2000; ++i) {
    std::size_t n = rng() % 400;
    for (std::size_t k = 0; k < n; ++k) buf[k] = static_cast<uint8_t>(rng());
    if (n >= 20 && i % 2) {
      // Plausible headers with a valid stream of random length around the block size.
      const int w = 1 + rng() % 80, h = 1 + rng() % 60;
      const int l = static_cast<int>(rng() % 120) - 40, t = static_cast<int>(rng() % 100) - 30;
      const auto d = Block(l, t, l + w, t + h,
                           Compress(std::vector<uint8_t>(rng() % (w * h * 4 + 50), 0x77)));
      std::copy(d.begin(), d.end(), buf.begin());
      n = d.size() - rng() % 2;  // now and then one byte short
    }
    UpdateHeader h;
    if (CheckDatagram(buf.data(), n, h) == DatagramCheck::kUse &&
        h.kind == UPDATE_BLOCK)
      decoder.Decode(s, {0, 0, 64, 48}, buf.data());
  }
  EXPECT_TRUE(pic.GuardsIntact());
}

// A viewer without a key reads nothing past 20 + length, so a keyed stream looks to it exactly
// as an unkeyed one; a keyed viewer hands on the datagram without its trailer.
TEST(StreamKeyViewerTest, SealedDatagramsDrawTheSameWithAndWithoutAKey) {
  uint8_t raw[kStreamKeyBytes] = {9, 8, 7};
  StreamKey sealing_key, checking_key;
  sealing_key.SetRaw(raw);
  checking_key.SetRaw(raw);
  StreamSealer sealer(std::move(sealing_key), MakeSessionNumber(1700000000000, 1));
  StreamChecker checker(std::move(checking_key));
  const std::vector<std::vector<uint8_t>> datagrams = {
      Header(UPDATE_AREA, 0, 0, 0, 8, 6), Header(UPDATE_POINTER, 0, 3, 4, 0, 0),
      Block(2, 1, 5, 3, Compress(Rows(3, 2, 24))), Block(0, 0, 8, 6, Compress(Rows(8, 6, 24))),
      Block(-1, 4, 3, 8, Compress(Rows(4, 4, 24)))};
  for (const auto& plain : datagrams) {
    std::vector<uint8_t> sealed = plain;
    sealed.resize(plain.size() + sealer.TrailerBytes());
    ASSERT_EQ(sealer.Seal(sealed.data(), plain.size()), sealed.size());

    UpdateHeader want, keyless, keyed;
    ASSERT_EQ(CheckDatagram(plain.data(), plain.size(), want), DatagramCheck::kUse);
    EXPECT_EQ(CheckDatagram(sealed.data(), sealed.size(), keyless), DatagramCheck::kUse);
    const StreamCheck r = checker.Check(sealed.data(), sealed.size(), 0);
    ASSERT_EQ(r.verdict, StreamVerdict::kAccepted);
    EXPECT_EQ(r.length, plain.size());
    EXPECT_EQ(CheckDatagram(sealed.data(), r.length, keyed), DatagramCheck::kUse);
    EXPECT_EQ(checker.Check(plain.data(), plain.size(), 0).verdict, StreamVerdict::kNoTrailer);
    for (const UpdateHeader* h : {&keyless, &keyed}) {
      EXPECT_EQ(h->kind, want.kind);
      EXPECT_EQ(h->length, want.length);
      EXPECT_EQ(h->left, want.left);
      EXPECT_EQ(h->bottom, want.bottom);
    }
    if (want.kind != UPDATE_BLOCK) continue;
    Picture from_plain(8, 6, 24), from_sealed(8, 6, 24);
    PixelSurface a = from_plain.surface(), b = from_sealed.surface();
    EXPECT_EQ(DecodeBlockInto(a, {0, 0, 8, 6}, plain.data()), DecodeResult::kDrawn);
    EXPECT_EQ(DecodeBlockInto(b, {0, 0, 8, 6}, sealed.data()), DecodeResult::kDrawn);
    for (int y = 0; y < 6; ++y)
      EXPECT_EQ(std::memcmp(from_plain.pixel(0, y), from_sealed.pixel(0, y), 8 * 3), 0) << y;
    EXPECT_TRUE(from_sealed.GuardsIntact());
  }
  EXPECT_EQ(checker.lost(), 0u);
}

}  // namespace

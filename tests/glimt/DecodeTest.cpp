#include "glimt/Decode.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <random>

#include "Common/StreamKey.h"
#include "tests/glimt/BlockTestSupport.h"

using namespace glimttest;

namespace {

struct CheckCase {
  const char* what;
  std::vector<uint8_t> datagram;
  std::size_t received;  // bytes the receive call returned
  int bpp;
  DatagramCheck expected;
};

TEST(DatagramCheckTest, JudgesEveryKindOfDatagramByTheBytesReceived) {
  const std::vector<uint8_t> z(40, 0);
  auto block = [&](int32_t l, int32_t t, int32_t r, int32_t b) { return Block(l, t, r, b, z); };
  const std::vector<uint8_t> area = Header(UPDATE_AREA, 0, 0, 0, 1024, 768);
  std::vector<CheckCase> cases = {
      {"empty", {}, 0, 32, DatagramCheck::kShort},
      {"10 bytes", std::vector<uint8_t>(area.begin(), area.begin() + 10), 10, 32,
       DatagramCheck::kShort},
      {"19 bytes", std::vector<uint8_t>(area.begin(), area.begin() + 19), 19, 32,
       DatagramCheck::kShort},
      {"area", area, 20, 32, DatagramCheck::kUse},
      {"pointer", Header(UPDATE_POINTER, 0, -5, 3, 0, 0), 20, 32, DatagramCheck::kUse},
      {"kind 3", Header(3, 0, 0, 0, 0, 0), 20, 32, DatagramCheck::kUnknownKind},
      {"block exact", block(0, 0, 10, 10), 60, 32, DatagramCheck::kUse},
      {"block with trailing bytes", block(0, 0, 10, 10), 60, 32, DatagramCheck::kUse},
      {"block length one too large", block(0, 0, 10, 10), 59, 32, DatagramCheck::kTruncated},
      {"block header only", block(0, 0, 10, 10), 20, 32, DatagramCheck::kTruncated},
      {"zero width", block(10, 0, 10, 10), 60, 32, DatagramCheck::kBadRect},
      {"zero height", block(0, 10, 10, 10), 60, 32, DatagramCheck::kBadRect},
      {"inverted", block(10, 10, 0, 0), 60, 32, DatagramCheck::kBadRect},
      {"32-bit overflow", block(INT32_MIN, 0, INT32_MAX, 1), 60, 32, DatagramCheck::kBadRect},
      {"huge height", block(0, INT32_MIN, 1, INT32_MAX), 60, 32, DatagramCheck::kBadRect},
      {"1000x60 at 4 bytes fits", block(0, 0, 1000, 60), 60, 32, DatagramCheck::kUse},
      {"1000x66 at 4 bytes refused", block(0, 0, 1000, 66), 60, 32, DatagramCheck::kBadRect},
      {"1000x131 at 2 bytes fits", block(0, 0, 1000, 131), 60, 16, DatagramCheck::kUse},
      {"1000x132 at 2 bytes refused", block(0, 0, 1000, 132), 60, 16, DatagramCheck::kBadRect},
  };
  cases[7].datagram.resize(80, 0xAA);
  cases[7].received = 80;
  for (const CheckCase& c : cases) {
    UpdateHeader h;
    EXPECT_EQ(CheckDatagram(c.datagram.data(), c.received, c.bpp, h), c.expected) << c.what;
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
  // Scaled: one pixel more on each side, inside the client area.
  r = InvalidationRect({0, 0, 1024, 768}, 512, 384, {10, 10, 21, 21});
  EXPECT_EQ(r.left, 4);
  EXPECT_EQ(r.top, 4);
  EXPECT_EQ(r.right, 11);
  EXPECT_EQ(r.bottom, 11);
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

TEST(DecodeBlockTest, PixelsLandAtTheirPlaceAndPaddingIsNotDrawn) {
  for (int bpp : {32, 24, 16, 8}) {
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

  // A valid stream of half the bytes: upper half drawn, lower half black (never heap data).
  {
    Picture pic(w, h, 32);
    PixelSurface s = pic.surface();
    const auto d = Block(0, 0, w, h, Compress(std::vector<uint8_t>(w * h * 2, 0x22)));
    std::size_t produced = 0;
    EXPECT_EQ(DecodeBlockInto(s, {0, 0, w, h}, d.data(), &produced), DecodeResult::kDrawnShort);
    EXPECT_EQ(produced, std::size_t{w * h * 2});
    for (int y = 0; y < h; ++y) {
      const uint8_t* p = pic.pixel(1, y);
      EXPECT_EQ(p[0], y < h / 2 ? 0x22 : 0x00) << y;
      EXPECT_EQ(p[3], 0xFF) << y;
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
  EXPECT_EQ(DecodeBlockInto(none, {0, 0, 4, 4}, Block(0, 0, 4, 4, z).data()),
            DecodeResult::kSkipped);
}

TEST(DecodeBlockTest, RandomDatagramsNeverWriteOutsideThePicture) {
  std::mt19937 rng(12345);
  Picture pic(64, 48, 32);
  PixelSurface s = pic.surface();
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
    if (CheckDatagram(buf.data(), n, 32, h) == DatagramCheck::kUse &&
        h.kind == UPDATE_BLOCK)
      DecodeBlockInto(s, {0, 0, 64, 48}, buf.data());
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
    ASSERT_EQ(CheckDatagram(plain.data(), plain.size(), 24, want), DatagramCheck::kUse);
    EXPECT_EQ(CheckDatagram(sealed.data(), sealed.size(), 24, keyless), DatagramCheck::kUse);
    const StreamCheck r = checker.Check(sealed.data(), sealed.size(), 0);
    ASSERT_EQ(r.verdict, StreamVerdict::kAccepted);
    EXPECT_EQ(r.length, plain.size());
    EXPECT_EQ(CheckDatagram(sealed.data(), r.length, 24, keyed), DatagramCheck::kUse);
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

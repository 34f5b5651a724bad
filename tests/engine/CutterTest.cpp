// Cutting into datagrams that fit the budget, on content whose compressed size is made to land
// exactly at, just under and just over the limit; and on whole screens of text-like and
// photo-like content, how often pixels are compressed and how full the datagrams are.
#include <gtest/gtest.h>
#include <zlib.h>

#include <map>
#include <random>

#include "EngineFakes.h"
#include "server/Compressor.h"
#include "server/Cutter.h"
#include "server/Sampler.h"

using namespace enginetest;

namespace {

struct Piece {
  Rect r;
  std::vector<uint8_t> datagram;
};

// Cuts r of the screen within limit; every datagram recorded, and *dropped the rectangles
// that could not be made.
std::vector<Piece> CutWith(Cutter& cutter, FakeScreen& screen, const Rect& r, std::size_t limit,
                           bool new_content, std::size_t* dropped, CutterStats* stats = nullptr) {
  const int bpp = screen.BitsPerPixel();
  const std::size_t scan = static_cast<std::size_t>(ScanLineBytes(r.Width(), bpp));
  std::vector<uint8_t> pixels(scan * static_cast<std::size_t>(r.Height()));
  screen.Capture(r, pixels.data(), scan);
  Compressor c(1);
  CompressJob job;
  job.rect = r;
  job.pixels = pixels.data();
  job.stride = scan;
  job.bpp = bpp;
  job.max_datagram = limit;
  job.new_content = new_content;
  DatagramList list;
  list.Clear(8);  // room for a trailer after each: it must not be written
  cutter.Cut(c, job, list);
  std::vector<Piece> out;
  for (std::size_t i = 0; i < list.Count(); ++i) {
    Piece p;
    p.datagram.assign(list.Data(i), list.Data(i) + list.Length(i));
    UpdateHeader h;
    DecodeUpdateHeader(p.datagram.data(), p.datagram.size(), h);
    p.r = Rect{h.left, h.top, h.right, h.bottom};
    out.push_back(std::move(p));
  }
  *dropped = list.dropped().size();
  if (stats) *stats = cutter.TakeStats();
  return out;
}

// Every piece decodes to the screen's pixels, fits the budget, and together they cover r once.
void ExpectTiles(FakeScreen& screen, const Rect& r, const std::vector<Piece>& pieces,
                 std::size_t budget) {
  const int bpp = screen.BitsPerPixel();
  std::vector<uint8_t> covered(static_cast<std::size_t>(r.Width() * r.Height()), 0);
  std::vector<uint8_t> pixels;
  for (const Piece& p : pieces) {
    Datagram d;
    d.bytes = p.datagram;
    ASSERT_TRUE(DecodeUpdateHeader(d.bytes.data(), d.bytes.size(), d.h));
    ASSERT_LE(d.bytes.size(), budget);
    ASSERT_EQ(d.bytes.size(), kUpdateHeaderBytes + d.h.length);
    ASSERT_EQ(d.h.kind, UPDATE_BLOCK);
    ASSERT_TRUE(InflateBlock(d, bpp, pixels));
    const int64_t s = ScanLineBytes(p.r.Width(), bpp);
    for (int64_t y = p.r.top; y < p.r.bottom; ++y)
      for (int64_t x = p.r.left; x < p.r.right; ++x) {
        ASSERT_TRUE(x >= r.left && x < r.right && y >= r.top && y < r.bottom);
        ++covered[static_cast<std::size_t>((y - r.top) * r.Width() + (x - r.left))];
        for (int i = 0; i < bpp / 8; ++i)
          ASSERT_EQ(pixels[static_cast<std::size_t>((y - p.r.top) * s + (x - p.r.left) * (bpp / 8) + i)],
                    screen.Byte(x, y, i));
      }
  }
  for (uint8_t c : covered) ASSERT_EQ(c, 1);
}

// Scripted 8-bpp content of w x h pixels: `noisy` random bytes, then zeros. Its stream grows
// by about a byte for each noisy byte more.
std::vector<uint8_t> NoiseThenZeros(std::size_t bytes, std::size_t noisy, unsigned seed) {
  std::vector<uint8_t> v(bytes, 0);
  std::mt19937 rng(seed);
  for (std::size_t i = 0; i < noisy && i < bytes; ++i) v[i] = static_cast<uint8_t>(rng());
  return v;
}

std::size_t StreamBytes(const std::vector<uint8_t>& raw) {
  std::vector<uint8_t> out(raw.size() * 2 + 1024);
  return Compressor(1).Compress(raw.data(), raw.size(), out.data(), out.size());
}

// Content of w x h at 8 bpp whose single zlib stream is exactly `want` bytes; empty when no
// amount of noise gives exactly that. Stream sizes step unevenly with the noise (Huffman
// tables change), so the noise's seed is varied too.
std::vector<uint8_t> ContentCompressingTo(int w, int h, std::size_t want) {
  const std::size_t bytes = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
  for (unsigned seed = 1; seed < 64; ++seed) {
    std::size_t lo = 0, hi = bytes;
    while (lo < hi) {  // about the fewest noisy bytes whose stream reaches want
      const std::size_t mid = (lo + hi) / 2;
      if (StreamBytes(NoiseThenZeros(bytes, mid, seed)) < want) lo = mid + 1;
      else hi = mid;
    }
    for (std::size_t k = lo > 8 ? lo - 8 : 0; k < lo + 8 && k <= bytes; ++k) {
      std::vector<uint8_t> v = NoiseThenZeros(bytes, k, seed);
      if (StreamBytes(v) == want) return v;
    }
  }
  return {};
}

// The limits of MaxDatagram, each at the exact size, one below and one above: content whose
// stream makes a datagram of limit - 1 and limit goes whole; limit + 1 is cut, every piece
// within the limit.
TEST(Cutter, DatagramsAtTheLimitOneBelowAndOneAbove) {
  struct Case {
    std::size_t limit;
    int w, h;  // small enough that the cutter tries the rectangle whole first
  };
  const Case cases[] = {{576, 64, 30}, {1472, 64, 80}, {65507, 512, 500}};
  for (const Case& c : cases) {
    for (int over : {-1, 0, 1}) {
      SCOPED_TRACE(std::to_string(c.limit) + " " + std::to_string(over));
      const std::size_t stream = c.limit - kUpdateHeaderBytes + static_cast<std::size_t>(over + 1) - 1;
      FakeScreen screen(c.w, c.h, 8, FakeScreen::Content::kScripted);
      screen.script = ContentCompressingTo(c.w, c.h, stream);
      ASSERT_FALSE(screen.script.empty()) << "no content compresses to " << stream;
      std::size_t dropped = 0;
      const Rect r{0, 0, c.w, c.h};
      Cutter cutter;
      const auto pieces = CutWith(cutter, screen, r, c.limit, true, &dropped);
      EXPECT_EQ(dropped, 0u);
      if (over <= 0) {
        ASSERT_EQ(pieces.size(), 1u);
        EXPECT_EQ(pieces[0].datagram.size(), c.limit + static_cast<std::size_t>(over));
      } else {
        EXPECT_GE(pieces.size(), 2u);
      }
      ExpectTiles(screen, r, pieces, c.limit);
    }
  }
}

// Whole screens through the sampler's strips: how often pixels went into the compressor, how
// full the datagrams are, and that every one fits.
TEST(Cutter, ScreensAreCompressedLittleMoreThanOnce) {
  struct Case {
    FakeScreen::Content content;
    const char* name;
    std::size_t limit;
    int w, h;
  };
  const Case cases[] = {
      {FakeScreen::Content::kText, "text", 1472, 1920, 1080},
      {FakeScreen::Content::kPhoto, "photo", 1472, 1920, 1080},
      {FakeScreen::Content::kPhoto, "photo", 65507, 1920, 1080},
      {FakeScreen::Content::kRandom, "noise", 576, 640, 480},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.limit));
    FakeScreen screen(c.w, c.h, 32, c.content);
    const int64_t rows = StripRows(c.w, ScanLineBytes(c.w, 32));
    std::size_t in = 0, misses = 0, datagrams = 0, bytes = 0;
    Cutter cutter;  // one rectangle: the sampler's strips of it
    for (int32_t y = 0; y < c.h; y += static_cast<int32_t>(rows)) {
      std::size_t dropped = 0;
      CutterStats stats;
      const Rect strip{0, y, c.w, std::min<int32_t>(c.h, y + static_cast<int32_t>(rows))};
      const auto pieces = CutWith(cutter, screen, strip, c.limit, y == 0, &dropped, &stats);
      ASSERT_EQ(dropped, 0u);
      in += stats.compressed_in;
      misses += stats.misses;
      datagrams += pieces.size();
      for (const Piece& p : pieces) {
        ASSERT_LE(p.datagram.size(), c.limit);
        bytes += p.datagram.size();
      }
    }
    const double raw = 4.0 * c.w * c.h;
    const double full = static_cast<double>(bytes) / static_cast<double>(datagrams * c.limit);
    std::printf("[measure] %s at %zu: compressed %.3f times, %zu misses, %zu datagrams, %.0f%% full\n",
                c.name, c.limit, in / raw, misses, datagrams, 100 * full);
    EXPECT_LE(in / raw, 1.15);
    // Small budgets: datagrams well used (fewer datagrams, fewer losses).
    if (c.limit < 2000) {
      EXPECT_GE(full, 0.6);
    }
  }
}

}  // namespace

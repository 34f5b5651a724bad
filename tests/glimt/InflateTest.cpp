// The inflate step of the block decoder: libdeflate, with the outcomes that a one-shot
// inflate of the 262,144-byte decode buffer has always had (zlib's streaming inflate is the
// reference here), and the decoder's use of them at the edges of that buffer.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <string>

#include "glimt/Decode.h"
#include "tests/glimt/BlockTestSupport.h"

using namespace glimttest;

namespace {

// Photo-like bytes: gradients with sparse noise, so that 262,144 of them fit one datagram.
std::vector<uint8_t> PhotoBytes(std::size_t n, uint32_t seed = 1) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> raw(n);
  for (std::size_t i = 0; i < n; ++i)
    raw[i] = static_cast<uint8_t>(i / 4096 + (i % 4096) / 16 + (rng() % 16 == 0 ? rng() % 7 : 0));
  return raw;
}

// The reference: a one-shot zlib inflate of cap bytes, as the decoder did before libdeflate.
struct Reference {
  Inflated how;
  std::size_t produced;
  std::string message;
};
Reference ZlibInflate(const std::vector<uint8_t>& in, uint8_t* out, std::size_t cap) {
  z_stream z{};
  inflateInit(&z);
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out;
  z.avail_out = static_cast<uInt>(cap);
  const int rc = inflate(&z, Z_FINISH);
  Reference r{Inflated::kBroken, cap - z.avail_out, z.msg ? z.msg : ""};
  inflateEnd(&z);
  if (rc == Z_STREAM_END) r.how = Inflated::kEnded;
  else if (rc == Z_BUF_ERROR && z.avail_out == 0) r.how = Inflated::kFilled;
  return r;
}

const char* Name(Inflated how) {
  switch (how) {
    case Inflated::kEnded: return "ended";
    case Inflated::kFilled: return "filled";
    case Inflated::kBroken: return "broken";
  }
  return "?";
}

// Outcomes at the edge of the buffer, where libdeflate's own codes draw the line elsewhere:
// it calls a stream cut after exactly 262,144 bytes "bad data" and one cut 2 bytes short of
// 262,143 "no room"; the decoder must still see a full buffer and a broken stream.
TEST(InflateTest, OutcomesAtTheEdgesOfTheDecodeBuffer) {
  struct Case { std::size_t raw; std::size_t cut; std::size_t flip_at; Inflated how; std::size_t produced; };
  const std::size_t kAll = kDecodeBufferBytes, kNone = SIZE_MAX;
  const Case cases[] = {
      {1000, 0, kNone, Inflated::kEnded, 1000},
      {kAll - 1, 0, kNone, Inflated::kEnded, kAll - 1},
      {kAll, 0, kNone, Inflated::kEnded, kAll},
      {kAll + 1, 0, kNone, Inflated::kFilled, kAll},    // one byte too many: the buffer fills
      {300000, 0, kNone, Inflated::kFilled, kAll},
      {1000, 3, kNone, Inflated::kBroken, 0},            // checksum cut: broken
      {kAll - 1, 1, kNone, Inflated::kBroken, 0},
      {kAll - 1, 2, kNone, Inflated::kBroken, 0},
      {kAll, 1, kNone, Inflated::kFilled, kAll},         // filled before the cut was seen
      {kAll, 4, kNone, Inflated::kFilled, kAll},
      {kAll + 1, 4, kNone, Inflated::kFilled, kAll},
      {kAll, 40, kNone, Inflated::kBroken, 0},           // cut inside the pixels
      {1000, 0, 40, Inflated::kBroken, 0},               // damaged
      {kAll, 0, 30, Inflated::kBroken, 0},
  };
  std::vector<uint8_t> out(kDecodeBufferBytes), reference(kDecodeBufferBytes);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.raw) + " bytes, cut " + std::to_string(c.cut) + ", flip " +
                 std::to_string(c.flip_at));
    const std::vector<uint8_t> raw = PhotoBytes(c.raw);
    std::vector<uint8_t> z = Compress(raw);
    ASSERT_LE(z.size(), kMaxBlockPayload) << "must fit one datagram";
    z.resize(z.size() - c.cut);
    if (c.flip_at != kNone) z[c.flip_at] ^= 0x5A;
    std::size_t produced = 12345;
    const Inflated how = InflateInto(z.data(), z.size(), out.data(), out.size(), &produced);
    EXPECT_EQ(Name(how), std::string(Name(c.how)));
    const Reference ref = ZlibInflate(z, reference.data(), reference.size());
    EXPECT_EQ(Name(ref.how), std::string(Name(c.how))) << "the table no longer matches zlib";
    if (how == Inflated::kBroken) continue;  // what it wrote is not used
    EXPECT_EQ(produced, c.produced);
    EXPECT_EQ(std::memcmp(out.data(), raw.data(), produced), 0) << "not the stream's bytes";
  }
}

// Random damage to real streams: the same outcome and the same bytes as zlib's inflate. One
// kind of damage is judged differently: a code-length header whose last repeat runs past the
// lengths it needs is refused by zlib ("invalid bit length repeat") and read by libdeflate,
// whose output then passed the Adler-32 check (so it is the sender's pixels).
TEST(InflateTest, DamagedStreamsAreJudgedAsZlibJudgesThem) {
  std::mt19937 rng(2024);
  std::vector<uint8_t> out(kDecodeBufferBytes), reference(kDecodeBufferBytes);
  int broken = 0, ended = 0, filled = 0, lenient = 0;
  for (int i = 0; i < 6000; ++i) {
    std::vector<uint8_t> raw(1 + rng() % 3000);
    for (uint8_t& b : raw) b = static_cast<uint8_t>(i % 2 ? rng() % 4 : rng());
    std::vector<uint8_t> z = Compress(raw);
    if (i % 3 == 0) {
      z.resize(z.size() - std::min<std::size_t>(z.size() - 1, rng() % 7));  // the trailer cut
    } else {
      for (int f = 0, flips = 1 + static_cast<int>(rng() % 3); f < flips; ++f)
        z[rng() % z.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
      if (rng() % 4 == 0) z.resize(1 + rng() % z.size());
    }
    // Buffers one short of, exactly, and one over the pixels, and the whole decode buffer.
    const std::size_t caps[] = {raw.size() - 1, raw.size(), raw.size() + 1, kDecodeBufferBytes};
    const std::size_t cap = std::max<std::size_t>(1, caps[rng() % 4]);
    std::size_t produced = 0;
    const Inflated how = InflateInto(z.data(), z.size(), out.data(), cap, &produced);
    const Reference ref = ZlibInflate(z, reference.data(), cap);
    if (ref.message == "invalid bit length repeat" && how == Inflated::kEnded) {
      ++lenient;
      continue;
    }
    ASSERT_EQ(Name(how), std::string(Name(ref.how))) << "stream " << i << ": " << ref.message;
    if (how == Inflated::kBroken) {
      ++broken;
      continue;
    }
    ++(how == Inflated::kEnded ? ended : filled);
    ASSERT_EQ(produced, ref.produced) << i;
    ASSERT_EQ(std::memcmp(out.data(), reference.data(), produced), 0) << i;
  }
  EXPECT_GT(broken, 3000) << "the damage was too mild to test anything";
  EXPECT_GT(ended, 100);
  EXPECT_GT(filled, 100);
  std::printf("[measure] damaged streams: %d broken, %d ended, %d filled, %d read by libdeflate "
              "only\n", broken, ended, filled, lenient);
}

// The one kind of damage judged differently, found by the comparison above: 83 bytes of
// 2-bit values compressed at level 4, with bit 7 of byte 17 flipped (a repeat count in the
// code-length header). zlib refused it; it now draws exactly the bytes that were compressed.
TEST(InflateTest, AnOverlongCodeLengthRepeatIsReadAndChecksumChecked) {
  const std::vector<uint8_t> raw = {
      3, 0, 2, 2, 1, 3, 1, 2, 1, 0, 3, 2, 1, 3, 1, 1, 0, 1, 3, 3, 1, 1, 3, 0, 1, 0, 0, 0,
      1, 2, 0, 2, 0, 0, 0, 0, 0, 3, 3, 0, 0, 1, 0, 0, 3, 3, 1, 0, 1, 3, 0, 2, 2, 2, 0, 2,
      3, 1, 3, 3, 3, 1, 0, 3, 1, 1, 0, 2, 2, 3, 1, 2, 3, 0, 0, 0, 2, 0, 1, 0, 2, 2, 1};
  const std::vector<uint8_t> z = {
      0x78, 0x5e, 0x15, 0x8b, 0xc7, 0x11, 0x00, 0x00, 0x08, 0xc2, 0x02, 0xec, 0xbf,
      0xb3, 0xd1, 0x07, 0x5e, 0xa8, 0xa3, 0xcd, 0xd2, 0xb0, 0xff, 0x21, 0x53, 0x47,
      0x80, 0x94, 0xf2, 0xb7, 0xf1, 0x86, 0x89, 0xb1, 0x03, 0xfd, 0xd9, 0x13, 0x7f,
      0x51, 0xa1, 0x36, 0x2c, 0x3f, 0xe4, 0x00, 0x12, 0x8b, 0x00, 0x6f};
  std::vector<uint8_t> out(kDecodeBufferBytes);
  const Reference ref = ZlibInflate(z, out.data(), out.size());
  EXPECT_EQ(ref.how, Inflated::kBroken);
  EXPECT_EQ(ref.message, "invalid bit length repeat");
  std::size_t produced = 0;
  EXPECT_EQ(InflateInto(z.data(), z.size(), out.data(), out.size(), &produced), Inflated::kEnded);
  ASSERT_EQ(produced, raw.size());
  EXPECT_EQ(std::memcmp(out.data(), raw.data(), raw.size()), 0);
}

// A 1024 x 64 block at 32 bpp is exactly the decode buffer. A stream one byte short, exact, one
// byte long, and cut after filling the buffer: drawn, with the unwritten byte black.
TEST(InflateTest, ABlockOfExactlyTheDecodeBufferAndOneByteEitherSide) {
  constexpr int kW = 1024, kH = 64;
  static_assert(kW * kH * 4 == kDecodeBufferBytes);
  struct Case { std::size_t raw; std::size_t cut; DecodeResult result; std::size_t produced; };
  const Case cases[] = {
      {kDecodeBufferBytes - 1, 0, DecodeResult::kDrawnShort, kDecodeBufferBytes - 1},
      {kDecodeBufferBytes, 0, DecodeResult::kDrawn, kDecodeBufferBytes},
      {kDecodeBufferBytes + 1, 0, DecodeResult::kDrawnShort, kDecodeBufferBytes},
      {kDecodeBufferBytes, 2, DecodeResult::kDrawnShort, kDecodeBufferBytes},
      {kDecodeBufferBytes - 1, 2, DecodeResult::kSkipped, 0},
  };
  std::vector<uint8_t> picture(static_cast<std::size_t>(kW) * 4 * kH);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.raw) + " cut " + std::to_string(c.cut));
    std::fill(picture.begin(), picture.end(), 0x55);
    PixelSurface s{picture.data(), kW, kH, kW * 4, 32};
    // Leave other bytes in the decoder's buffer first: a short stream must not show them.
    // (The full block also tells the decoder the server's depth, 32 bits.)
    BlockDecoder decoder(ServerLayout(32));
    const auto full = Block(0, 0, kW, kH, Compress(std::vector<uint8_t>(kDecodeBufferBytes, 0x99)));
    std::vector<uint8_t> scratch(picture.size());
    PixelSurface other{scratch.data(), kW, kH, kW * 4, 32};
    ASSERT_EQ(decoder.Decode(other, {0, 0, kW, kH}, full.data()), DecodeResult::kDrawn);

    const std::vector<uint8_t> raw = PhotoBytes(c.raw, 7);
    std::vector<uint8_t> z = Compress(raw);
    z.resize(z.size() - c.cut);
    ASSERT_LE(z.size(), kMaxBlockPayload);
    const auto d = Block(0, 0, kW, kH, z);
    DecodeInfo info;
    EXPECT_EQ(decoder.Decode(s, {0, 0, kW, kH}, d.data(), &info), c.result);
    const std::size_t produced = info.produced;
    if (c.result == DecodeResult::kSkipped) {
      EXPECT_EQ(picture[0], 0x55);
      continue;
    }
    EXPECT_EQ(produced, c.produced);
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < picture.size(); ++i) {
      const uint8_t want = i % 4 == 3 ? 0xFF : i < raw.size() ? raw[i] : 0x00;
      wrong += picture[i] != want;
    }
    EXPECT_EQ(wrong, 0u);
  }
}

}  // namespace

// The libdeflate compressor: every level gives a stream that zlib's own uncompress reads back
// exactly, and the output room is honoured to the byte.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "server/Compressor.h"

namespace {

// Inputs the sampler meets: nothing, a lone byte, flat colour, text-like rows, noise.
std::vector<uint8_t> Input(const std::string& kind, std::size_t n) {
  std::vector<uint8_t> v(n);
  std::mt19937 rng(5);
  for (std::size_t i = 0; i < n; ++i) {
    if (kind == "flat") v[i] = 0x80;
    if (kind == "text") v[i] = (i % 4 == 3) ? 0 : ((i / 4) % 97 < 6 ? 0x20 : 0xff);
    if (kind == "noise") v[i] = static_cast<uint8_t>(rng());
  }
  return v;
}

bool Inflates(const uint8_t* stream, std::size_t size, const std::vector<uint8_t>& expected) {
  std::vector<uint8_t> back(expected.size() + 16, 0xAA);
  uLongf out = static_cast<uLongf>(back.size());
  if (uncompress(back.data(), &out, stream, static_cast<uLong>(size)) != Z_OK) return false;
  back.resize(out);
  return back == expected;
}

TEST(CompressorTest, EveryLevelGivesAStreamZlibReadsBack) {
  const struct {
    const char* kind;
    std::size_t n;
  } inputs[] = {{"flat", 0}, {"flat", 1}, {"flat", 100}, {"text", 65536},
                {"noise", 65536}, {"noise", 70000}, {"flat", 262144}};
  for (int level = -1; level <= 9; ++level) {
    Compressor c(level);
    for (const auto& in : inputs) {
      SCOPED_TRACE(std::string(in.kind) + " " + std::to_string(in.n) + " bytes, level " +
                   std::to_string(level));
      const std::vector<uint8_t> data = Input(in.kind, in.n);
      std::vector<uint8_t> out(in.n + in.n / 8 + 1024);
      const std::size_t size = c.Compress(data.data(), data.size(), out.data(), out.size());
      ASSERT_GT(size, 0u);
      EXPECT_EQ(out[0] & 0x0f, 8) << "not a zlib (deflate) header";
      EXPECT_TRUE(Inflates(out.data(), size, data));
      // Stored means stored: the 70000 bytes of noise need two stored blocks.
      if (level == 0) {
        EXPECT_GE(size, in.n + 6);
      } else if (in.n >= 65536 && std::string(in.kind) != "noise") {
        EXPECT_LT(size, in.n / 8);
      }
    }
  }
}

// A stream of exactly cap bytes fits, one byte less does not, one more changes nothing; the
// bytes past cap (past the room, in place) are never written. Covers the stored path (level 0, tiny input) and the
// compressed path, where libdeflate itself wants padding past the end.
TEST(CompressorTest, OutputRoomIsExactToTheByte) {
  const struct {
    int level;
    const char* kind;
    std::size_t n;
  } cases[] = {{0, "text", 3000}, {0, "flat", 0}, {1, "flat", 5}, {1, "text", 3000},
               {1, "noise", 1400}, {6, "text", 65536}, {9, "text", 20000}, {-1, "noise", 100}};
  for (const auto& k : cases) {
    SCOPED_TRACE(std::string(k.kind) + " " + std::to_string(k.n) + " bytes, level " +
                 std::to_string(k.level));
    Compressor c(k.level);
    const std::vector<uint8_t> data = Input(k.kind, k.n);
    std::vector<uint8_t> roomy(k.n * 2 + 1024);
    const std::size_t need = c.Compress(data.data(), data.size(), roomy.data(), roomy.size());
    ASSERT_GT(need, 0u);
    for (const std::size_t cap : {need - 1, need, need + 1}) {
      std::vector<uint8_t> out(cap + 32, 0xCD);
      const std::size_t size = c.Compress(data.data(), data.size(), out.data(), cap);
      EXPECT_EQ(size, cap < need ? 0u : need) << "cap " << cap;
      for (std::size_t i = cap; i < out.size(); ++i) ASSERT_EQ(out[i], 0xCD) << "written past cap at " << i;
      if (size) {
        EXPECT_TRUE(std::equal(out.begin(), out.begin() + static_cast<long>(need), roomy.begin()));
        EXPECT_TRUE(Inflates(out.data(), size, data));
      }
      // In place, with the slack past cap writable: the same answer, nothing past the room.
      std::vector<uint8_t> in_place(cap + Compressor::kSlack + 32, 0xCD);
      EXPECT_EQ(c.Compress(data.data(), data.size(), in_place.data(), cap, cap + Compressor::kSlack), size);
      for (std::size_t i = cap + Compressor::kSlack; i < in_place.size(); ++i)
        ASSERT_EQ(in_place[i], 0xCD) << "written past the room at " << i;
      if (size) {
        EXPECT_TRUE(std::equal(in_place.begin(), in_place.begin() + static_cast<long>(need), roomy.begin()));
      }
    }
  }
}

TEST(CompressorTest, HigherLevelsAreSmallerAndStoredIsLargest) {
  const std::vector<uint8_t> data = Input("text", 262144);
  std::vector<uint8_t> out(300000);
  std::size_t size[10];
  for (int level = 0; level <= 9; ++level)
    size[level] = Compressor(level).Compress(data.data(), data.size(), out.data(), out.size());
  EXPECT_GT(size[0], data.size());
  EXPECT_LT(size[1], size[0]);
  EXPECT_LE(size[9], size[1]);
  EXPECT_LE(size[9], size[6]);
}

TEST(CompressorTest, FailuresGiveZero) {
  const std::vector<uint8_t> data = Input("text", 4096);
  std::vector<uint8_t> out(8192);
  // A level libdeflate refuses (the caller should have mapped it): no compressor, no stream.
  EXPECT_EQ(Compressor(42).Compress(data.data(), data.size(), out.data(), out.size()), 0u);
  Compressor c(1);
  EXPECT_EQ(c.Compress(data.data(), data.size(), nullptr, out.size()), 0u);
  EXPECT_EQ(c.Compress(data.data(), data.size(), out.data(), 0), 0u);
  // Still usable after a refusal.
  EXPECT_GT(c.Compress(data.data(), data.size(), out.data(), out.size()), 0u);
}

}  // namespace

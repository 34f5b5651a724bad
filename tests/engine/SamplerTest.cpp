#include <gtest/gtest.h>

#include <atomic>
#include <map>

#include "EngineFakes.h"
#include "server/CompressPool.h"
#include "server/Cutter.h"
#include "server/Sampler.h"

using namespace enginetest;

namespace {

class SamplerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FreshServerState();
    // The strip rule is the whole story at the largest datagram; smaller ones are below.
    g_max_datagram = kMaxDatagramBytes;
    ResetSampler();
    SetSamplerRealloc(nullptr);
    SetSamplerSink([this](const uint8_t* data, std::size_t n) {
      Datagram d;
      d.bytes.assign(data, data + n);
      DecodeUpdateHeader(data, n, d.h);
      sent.push_back(std::move(d));
    });
  }
  void TearDown() override {
    SetSamplerClock(nullptr);
    SetSamplerScreen(nullptr);
    SetSamplerSink(nullptr);
    SetSamplerRealloc(nullptr);
    g_compression_level = 1;
  }
  void Use(FakeScreen& s) {
    screen = &s;
    SetSamplerScreen(&s);
  }
  void Dirty(const Rect& r) { g_dirty_region->Union(r); }
  // The sampler's clock stands at `now` (an hour into the steady clock at first) until the
  // test moves it or ends.
  void UseFakeClock() { SetSamplerClock([this] { return now; }); }
  const std::chrono::steady_clock::time_point t0 =
      std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
  std::chrono::steady_clock::time_point now = t0;

  std::vector<Datagram> Kind(uint16_t kind) const {
    std::vector<Datagram> out;
    for (const Datagram& d : sent)
      if (d.h.kind == kind) out.push_back(d);
    return out;
  }

  // Every block: a sound datagram whose pixels equal the screen's; each pixel of `area`
  // covered exactly once and nothing outside it.
  void ExpectBlocksTile(const Rect& area) {
    const int bpp = screen->BitsPerPixel();
    std::map<std::pair<int64_t, int64_t>, int> covered;
    std::vector<uint8_t> pixels;
    for (const Datagram& d : Kind(UPDATE_BLOCK)) {
      ASSERT_LE(d.bytes.size(), kMaxDatagramBytes);
      ASSERT_EQ(d.bytes.size(), kUpdateHeaderBytes + d.h.length);
      ASSERT_TRUE(InflateBlock(d, bpp, pixels))
          << d.h.left << "," << d.h.top << "-" << d.h.right << "," << d.h.bottom;
      const int64_t s = ScanLineBytes(int64_t{d.h.right} - d.h.left, bpp);
      for (int64_t y = d.h.top; y < d.h.bottom; ++y) {
        for (int64_t x = d.h.left; x < d.h.right; ++x) {
          ASSERT_TRUE(x >= area.left && x < area.right && y >= area.top && y < area.bottom)
              << "block " << d.h.left << "," << d.h.top << "-" << d.h.right << "," << d.h.bottom;
          // Counting every pixel of a big area is slow; sample rows and columns.
          if ((x % 7 == 0 && y % 5 == 0) || area.Width() * area.Height() < 100000) {
            ++covered[std::make_pair(x, y)];
          }
          for (int i = 0; i < bpp / 8; ++i)
            ASSERT_EQ(pixels[static_cast<std::size_t>((y - d.h.top) * s + (x - d.h.left) * (bpp / 8) + i)],
                      screen->Byte(x, y, i))
                << x << "," << y;
        }
      }
    }
    for (int64_t y = area.top; y < area.bottom; ++y)
      for (int64_t x = area.left; x < area.right; ++x)
        if ((x % 7 == 0 && y % 5 == 0) || area.Width() * area.Height() < 100000) {
          ASSERT_EQ(covered[std::make_pair(x, y)], 1) << x << "," << y;
        }
  }

  std::vector<Datagram> sent;
  FakeScreen* screen = nullptr;
};

TEST(StripRule, RowsPerStripStayWithinTheViewersBuffer) {
  struct { int64_t w; int bpp; int64_t rows; } cases[] = {
      {1000, 32, 58},     // 50000/1000 + 8
      {1, 32, 50008},     // a 1-pixel column goes whole
      {1920, 32, 34},     // 26 + 8, 34 x 7680 bytes fit 262144
      {2000, 32, 32},     // 33 rows would need 264000 bytes
      {1920, 8, 34},
      {50001, 8, 5},      // 8 rows by the rule, 262144 / 50002 = 5
      {70000, 32, 1},     // one row is already too big: at least one
  };
  for (auto c : cases)
    EXPECT_EQ(StripRows(c.w, ScanLineBytes(c.w, c.bpp)), c.rows) << c.w << "@" << c.bpp;
}

TEST(StripRule, LevelsOutsideZlibsRangeBecomeOne) {
  struct { int stored, used; } cases[] = {{-1, -1}, {0, 0}, {9, 9}, {1, 1}, {10, 1}, {-2, 1}, {42, 1}};
  for (auto c : cases) EXPECT_EQ(EffectiveCompressionLevel(c.stored), c.used) << c.stored;
}

TEST_F(SamplerTest, EmptyRegionSendsNothing) {
  FakeScreen s(1024, 768, 32);
  Use(s);
  ScreenTick();
  EXPECT_TRUE(sent.empty());
  EXPECT_TRUE(s.captures.empty());
}

TEST_F(SamplerTest, StripsFollowTheRuleForCompressibleContent) {
  struct { Rect r; std::vector<int> heights; } cases[] = {
      {{0, 0, 1000, 100}, {58, 42}},
      {{5, 0, 6, 4000}, {4000}},
      {{0, 0, 1920, 68}, {34, 34}},
  };
  for (auto& c : cases) {
    FakeScreen s(2000, 4000, 32);
    Use(s);
    sent.clear();
    Dirty(c.r);
    ScreenTick();
    std::vector<int> heights;
    int32_t y = c.r.top;
    for (const Datagram& d : Kind(UPDATE_BLOCK)) {
      EXPECT_EQ(d.h.top, y);
      EXPECT_EQ(d.h.left, c.r.left);
      EXPECT_EQ(d.h.right, c.r.right);
      heights.push_back(d.h.bottom - d.h.top);
      y = d.h.bottom;
    }
    EXPECT_EQ(heights, c.heights) << c.r.Width() << "x" << c.r.Height();
    ExpectBlocksTile(c.r);
    EXPECT_EQ(s.captures.size(), 1u) << "one capture per rectangle";
    EXPECT_TRUE(g_dirty_region->Empty());
  }
}

TEST_F(SamplerTest, FullRefreshAnnouncesAreaThenCoversItTopToBottom) {
  FakeScreen s(800, 600, 32);
  Use(s);
  g_clip = ClipRect{100, 50, 700, 550};
  Dirty({0, 0, 50, 40});      // outside the area: dropped by the refresh
  Dirty({650, 500, 800, 600});  // partly outside: only the area goes
  g_full_refresh = 1;
  ScreenTick();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent[0].h.kind, UPDATE_AREA);
  EXPECT_EQ(sent[0].bytes.size(), 20u);
  EXPECT_EQ(sent[0].h.length, 0);
  EXPECT_EQ((Rect{sent[0].h.left, sent[0].h.top, sent[0].h.right, sent[0].h.bottom}),
            (Rect{100, 50, 700, 550}));
  int32_t y = 50;
  for (const Datagram& d : Kind(UPDATE_BLOCK)) {
    EXPECT_EQ(d.h.top, y);
    y = d.h.bottom;
  }
  EXPECT_EQ(y, 550);
  ExpectBlocksTile({100, 50, 700, 550});
  EXPECT_EQ(g_full_refresh.load(), 0);
}

TEST_F(SamplerTest, SeveralRefreshRequestsBeforeATickGiveOneRefresh) {
  FakeScreen s(320, 200, 16);
  Use(s);
  g_clip = ClipRect{0, 0, 320, 200};
  g_full_refresh = 1;
  g_full_refresh = 1;
  ScreenTick();
  ScreenTick();
  EXPECT_EQ(Kind(UPDATE_AREA).size(), 1u);
  ExpectBlocksTile({0, 0, 320, 200});
}

TEST_F(SamplerTest, PointerGoesBetweenStripsOnlyWhenItMoved) {
  FakeScreen s(1000, 1000, 32);
  Use(s);
  // At the last position sent (0,0) for two reads, then moved to (-5,7); each move is
  // announced by the hook thread setting the flag again.
  s.pointer_script = [](int call, int32_t* x, int32_t* y) {
    if (call == 3) {
      *x = -5;
      *y = 7;
    }
    if (call == 5) {
      *x = 1;
      g_cursor_changed = 1;  // the notification of the next move came meanwhile
    }
  };
  g_cursor_changed = 1;
  Dirty({0, 0, 1000, 290});  // five strips of 58 rows
  ScreenTick();
  std::vector<uint16_t> kinds;
  for (const Datagram& d : sent) kinds.push_back(d.h.kind);
  std::vector<uint16_t> want = {2, 2, 2, 1, 2, 2};
  EXPECT_EQ(kinds, want);
  auto pointers = Kind(UPDATE_POINTER);
  ASSERT_EQ(pointers.size(), 1u);
  EXPECT_EQ(pointers[0].h.left, -5);
  EXPECT_EQ(pointers[0].h.top, 7);
  EXPECT_EQ(pointers[0].h.right, 0);
  EXPECT_EQ(pointers[0].bytes.size(), 20u);
  EXPECT_EQ(pointers[0].bytes[4], 0xFB);  // -5, two's complement, little-endian
}

TEST_F(SamplerTest, UnmovedPointerKeepsTheFlagForTheNextMove) {
  FakeScreen s(100, 100, 32);
  Use(s);
  g_cursor_changed = 1;
  SendPointer();  // at (0,0), the last position sent: nothing
  EXPECT_TRUE(sent.empty());
  EXPECT_EQ(g_cursor_changed.load(), 1);
  s.px = 3;
  SendPointer();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(g_cursor_changed.load(), 0);
  s.px = 4;
  SendPointer();  // flag clear: no datagram without a notification
  EXPECT_EQ(sent.size(), 1u);
}

TEST_F(SamplerTest, IncompressibleWideStripsAreCutToFitOneDatagram) {
  struct { Rect r; int bpp; } cases[] = {
      {{0, 0, 2000, 200}, 32},
      {{0, 0, 1920, 1080}, 32},
      {{3, 1, 2501, 90}, 24},
      {{0, 0, 20000, 3}, 32},   // one row compresses to more than a datagram: cut by columns
      {{0, 0, 70000, 2}, 32},   // one row exceeds the viewer's buffer
  };
  for (auto& c : cases) {
    FakeScreen s(c.r.right, c.r.bottom, c.bpp, FakeScreen::Content::kRandom);
    Use(s);
    sent.clear();
    ResetSampler();
    Dirty(c.r);
    ScreenTick();
    ASSERT_FALSE(Kind(UPDATE_BLOCK).empty());
    ExpectBlocksTile(c.r);
    if (HasFatalFailure()) return;
  }
}

TEST_F(SamplerTest, PhotoLikeStripsAreNotCompressedMuchMoreThanOnce) {
  FakeScreen s(1920, 1080, 32, FakeScreen::Content::kRandom);
  Use(s);
  EnableSamplerTimes(true);
  Dirty({0, 0, 1920, 1080});
  ScreenTick();
  EnableSamplerTimes(false);
  const SamplerTimes t = TakeSamplerTimes();
  // Estimating each cut from the earlier result: pixels are deflated little more than once
  // (halving blindly would deflate them about three times).
  const std::size_t pixels = 1920u * 1080 * 4;
  EXPECT_LE(t.deflated_in, pixels * 115 / 100) << t.deflated_in << " for " << pixels;
  EXPECT_GE(t.deflated_in, pixels);
  RecordProperty("deflated_per_pixel_byte", std::to_string(double(t.deflated_in) / pixels));
  ExpectBlocksTile({0, 0, 1920, 1080});
}

TEST_F(SamplerTest, AllRectanglesOfABigRegionGoInOneTick) {
  FakeScreen s(3000, 3000, 32);
  Use(s);
  for (int i = 0; i < 2000; ++i) Dirty({(i % 50) * 3, (i / 50) * 3, (i % 50) * 3 + 1, (i / 50) * 3 + 1});
  ASSERT_EQ(g_dirty_region->Count(), 2000u);
  ScreenTick();
  EXPECT_EQ(Kind(UPDATE_BLOCK).size(), 2000u);
  EXPECT_TRUE(g_dirty_region->Empty());
}

TEST_F(SamplerTest, TinyOrIncompressibleBlocksDoNotOvercutLaterStrips) {
  FakeScreen noisy(2000, 200, 32, FakeScreen::Content::kRandom);
  FakeScreen flat(2000, 200, 32);
  for (FakeScreen* before : {&noisy, &flat}) {
    // A photo-like strip, or many single pixels (whose streams are bigger than their pixels),
    // then compressible content of the same width in a later tick: still 58 + 42 rows.
    Use(*before);
    sent.clear();
    if (before == &noisy) {
      Dirty({0, 0, 2000, 100});
    } else {
      for (int i = 0; i < 50; ++i) Dirty({i * 3, 150, i * 3 + 1, 151});
    }
    ScreenTick();
    Use(flat);
    sent.clear();
    Dirty({0, 0, 1000, 100});
    ScreenTick();
    std::vector<int> heights;
    for (const Datagram& d : Kind(UPDATE_BLOCK)) heights.push_back(d.h.bottom - d.h.top);
    EXPECT_EQ(heights, (std::vector<int>{58, 42})) << (before == &noisy ? "after noise" : "after pixels");
  }
}

TEST_F(SamplerTest, BadLevelFallsBackToOne) {
  FakeScreen s(200, 200, 32);
  Use(s);
  g_compression_level = 42;
  Dirty({0, 0, 200, 10});
  ScreenTick();
  auto blocks = Kind(UPDATE_BLOCK);
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0].bytes[20], 0x78);
  EXPECT_EQ(blocks[0].bytes[21], 0x01);  // zlib's header for the fastest level
  ExpectBlocksTile({0, 0, 200, 10});
  EXPECT_EQ(g_compression_level, 42) << "the stored value is not touched";
}

TEST_F(SamplerTest, DepthsGiveTheScanLineOfTheDisplay) {
  struct { int bpp; Rect r; std::size_t bytes; } cases[] = {
      {16, {0, 0, 100, 10}, 2000}, {24, {0, 0, 3, 5}, 50}, {8, {0, 0, 3, 5}, 20},
      {32, {0, 0, 3, 5}, 60},
  };
  for (auto& c : cases) {
    FakeScreen s(200, 200, c.bpp);
    Use(s);
    sent.clear();
    Dirty(c.r);
    ScreenTick();
    auto blocks = Kind(UPDATE_BLOCK);
    ASSERT_EQ(blocks.size(), 1u);
    std::vector<uint8_t> pixels(kDecodeBufferBytes);
    uLongf out = kDecodeBufferBytes;
    ASSERT_EQ(uncompress(pixels.data(), &out, blocks[0].bytes.data() + 20, blocks[0].h.length), Z_OK);
    EXPECT_EQ(out, c.bytes) << c.bpp;
    ExpectBlocksTile(c.r);
  }
}

// A band that cannot be read is tried strip by strip and only the bad strip drops. Sent
// whole (a refresh), its strip was read into the picture sent: that picture forgets it, so the
// next damage there goes out although nothing changed.
TEST_F(SamplerTest, FailedCaptureDropsOnlyThatStrip) {
  for (bool refresh : {false, true}) {
    SCOPED_TRACE(refresh ? "refresh" : "damage");
    FakeScreen s(1000, 1000, 32);
    Use(s);
    sent.clear();
    ResetSampler();
    g_clip = ClipRect{0, 0, 1000, 1000};
    s.fail_captures = 2;  // the first band and its first strip
    if (refresh) {
      g_full_refresh = 1;
    } else {
      Dirty({0, 0, 1000, 100});
      Dirty({0, 500, 10, 510});
    }
    ScreenTick();
    auto blocks = Kind(UPDATE_BLOCK);
    ASSERT_FALSE(blocks.empty());
    EXPECT_EQ(blocks[0].h.top, 58);  // the second strip of the first band
    if (!refresh) {
      ASSERT_EQ(blocks.size(), 2u);
      EXPECT_EQ(blocks[1].h.top, 500);
      continue;
    }
    EXPECT_EQ(blocks.back().h.bottom, 1000);
    sent.clear();
    Dirty({0, 0, 1000, 1000});
    ScreenTick();
    ExpectBlocksTile({0, 0, 1000, 64});  // the strip's tiles, 16 rows each
  }
}

// An allocator that refuses a scripted call.
int g_alloc_calls = 0;
int g_fail_call = -1;
void* FlakyRealloc(void* old, std::size_t bytes) {
  if (g_alloc_calls++ == g_fail_call) return nullptr;
  return realloc(old, bytes);
}

// Without memory for the pixels (call 0 of a tick) or for the copy of the region (call 1),
// nothing is sent and the region keeps its rectangles; the next tick with memory sends them.
TEST_F(SamplerTest, FailedAllocationsHoldTheRegion) {
  FakeScreen s(1000, 1000, 32);
  Use(s);
  SetSamplerRealloc(FlakyRealloc);
  g_alloc_calls = 0;
  for (int fail : {0, 1}) {
    SCOPED_TRACE(fail);
    ResetSampler();
    Dirty({0, 0, 100, 10});
    Dirty({0, 600, 500, 700});
    g_alloc_calls = 0;
    g_fail_call = fail;
    ScreenTick();
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(g_dirty_region->Count(), 2u);
    g_fail_call = -1;
    ScreenTick();
    EXPECT_TRUE(g_dirty_region->Empty());
    auto blocks = Kind(UPDATE_BLOCK);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].h.top, 0);
    EXPECT_EQ(blocks[1].h.top, 600);
    sent.clear();
  }
}

// Blocks at the default MaxDatagram, and smaller by the trailer a sealer will add: every
// block fits, the budget is used, and the picture is rebuilt exactly.
TEST_F(SamplerTest, BlocksFitMaxDatagramLessTheSealersTrailer) {
  for (std::size_t trailer : {std::size_t{0}, std::size_t{40}}) {
    SCOPED_TRACE(trailer);
    ResetSampler();  // the refresh gate
    FakeScreen s(640, 480, 32, FakeScreen::Content::kPhoto);
    Use(s);
    RecordingOutput out;
    out.trailer = trailer;
    SetSamplerOutput(&out);
    g_max_datagram = 1472;
    g_clip = ClipRect{0, 0, 640, 480};
    g_full_refresh = 1;
    ScreenTick();
    out.TakeBlocks(*SamplerPool());
    SetSamplerOutput(nullptr);
    std::size_t largest = 0;
    for (const Datagram& d : out.sent) largest = std::max(largest, d.bytes.size());
    EXPECT_LE(largest, 1472 - trailer);
    EXPECT_GE(largest, (1472 - trailer) * 9 / 10) << "the budget is used";
    sent = out.sent;
    ExpectBlocksTile({0, 0, 640, 480});
  }
}

// While the sender has not sent what the pool holds, a tick takes nothing, so damage keeps
// merging and nothing more is captured; once all is sent the merged damage goes, compared
// against what was sent; the newest content of every area goes out after the older.
TEST_F(SamplerTest, LaggingSenderMergesDamageAndNewestContentGoesLast) {
  FakeScreen s(1000, 600, 32, FakeScreen::Content::kPhoto);
  Use(s);
  RecordingOutput out;
  SetSamplerOutput(&out);
  g_max_datagram = 1472;
  const Rect all{0, 0, 1000, 600};
  g_clip = ClipRect{0, 0, 1000, 600};
  Dirty(all);
  ScreenTick();
  CompressPool& pool = *SamplerPool();
  EXPECT_GT(pool.Pending(), 0u) << "the sender has taken nothing yet";
  const std::size_t captures = s.captures.size();

  // A client paints over sent and unsent parts while the sender lags: nothing is taken.
  s.painted = Rect{100, 50, 900, 550};
  s.paint = 0x5A;
  Dirty(s.painted);
  ScreenTick();
  EXPECT_EQ(s.captures.size(), captures);
  EXPECT_FALSE(g_dirty_region->Empty());

  for (int i = 0; i < 500 && (pool.Pending() > 0 || !g_dirty_region->Empty()); ++i) {
    out.TakeBlocks(pool, 2);
    ScreenTick();
  }
  out.TakeBlocks(pool);
  EXPECT_TRUE(g_dirty_region->Empty());
  EXPECT_EQ(s.captures.size(), captures + 1) << "the merged damage, captured once";
  SetSamplerOutput(nullptr);
  std::vector<uint8_t> picture(1000u * 600 * 4, 0xEE);
  ASSERT_TRUE(Replay(out.sent, s, all, picture));
  EXPECT_EQ(WrongBytes(picture, s, all), 0) << "an older block went out after a newer one, or a part never went";
}

// A tick stops once it has used its time (after at least one strip) and says so; the rest
// waits in the region and the following ticks send it, each pixel once.
TEST_F(SamplerTest, ATickStopsAfterItsTimeAndTheNextOnesGoOn) {
  FakeScreen s(1000, 600, 32);
  s.capture_delay = std::chrono::milliseconds(15);
  Use(s);
  SetSamplerTickBudget(std::chrono::milliseconds(20));
  Dirty({0, 0, 1000, 600});
  int ticks = 0;
  std::size_t last = 0;
  for (bool more = true; more && ticks < 50; ++ticks) {
    more = ScreenTick();
    EXPECT_GT(Kind(UPDATE_BLOCK).size(), last) << "a tick that sent nothing, at " << ticks;
    last = Kind(UPDATE_BLOCK).size();
    if (more) {
      EXPECT_FALSE(g_dirty_region->Empty());
    }
  }
  SetSamplerTickBudget(std::chrono::nanoseconds(0));
  EXPECT_GT(ticks, 1) << "one tick did it all";
  EXPECT_TRUE(g_dirty_region->Empty());
  ExpectBlocksTile({0, 0, 1000, 600});
}

// Thirty "go" within a second, ticks every 200 ms: two full refreshes, the second one a
// second after the first; a request after that waits for the next second.
TEST_F(SamplerTest, RefreshRequestsMergeIntoAtMostOneASecond) {
  FakeScreen s(320, 200, 32);
  Use(s);
  g_clip = ClipRect{0, 0, 320, 200};
  UseFakeClock();
  std::vector<std::chrono::milliseconds> refreshes;
  auto tick = [&] {
    const std::size_t before = Kind(UPDATE_AREA).size();
    ScreenTick();
    if (Kind(UPDATE_AREA).size() > before)
      refreshes.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(now - t0));
  };
  g_full_refresh = 1;
  tick();
  for (int ms = 10, asked = 0; ms <= 3000; ms += 10) {
    now = t0 + std::chrono::milliseconds(ms);
    if (asked < 30 && ms % 30 == 0) {
      g_full_refresh = 1;
      ++asked;
    }
    if (ms == 1100) g_full_refresh = 1;  // just after the second refresh began
    if (ms % 200 == 0) tick();
  }
  ASSERT_EQ(refreshes.size(), 3u);
  EXPECT_EQ(refreshes[0].count(), 0);
  EXPECT_EQ(refreshes[1].count(), 1000);
  EXPECT_EQ(refreshes[2].count(), 2000);
  EXPECT_EQ(g_full_refresh.load(), 0);
}

// A refresh asked for within the second after the last one began tells the screen timer's
// owner how long it waits, so that it begins the moment that second is up.
TEST_F(SamplerTest, AWaitingRefreshSaysWhenItMayBegin) {
  FakeScreen s(320, 200, 32);
  Use(s);
  g_clip = ClipRect{0, 0, 320, 200};
  UseFakeClock();
  g_full_refresh = 1;
  ScreenTick();  // the first refresh begins at t0
  ASSERT_EQ(Kind(UPDATE_AREA).size(), 1u);
  EXPECT_EQ(RefreshWaitMs(), -1) << "none asked for";
  g_full_refresh = 1;
  struct { std::chrono::microseconds at; int wait; } cases[] = {
      {std::chrono::milliseconds(300), 700},
      {std::chrono::microseconds(998'500), 2},  // rounded up: never early
      {std::chrono::milliseconds(999), 1},
      {std::chrono::microseconds(999'900), 1},
      {std::chrono::milliseconds(1000), -1},  // may begin: the tick does it
      {std::chrono::milliseconds(1001), -1},
  };
  for (const auto& c : cases) {
    now = t0 + c.at;
    EXPECT_EQ(RefreshWaitMs(), c.wait) << c.at.count() << " us";
  }
  now = t0 + std::chrono::milliseconds(1000);
  ScreenTick();
  EXPECT_EQ(Kind(UPDATE_AREA).size(), 2u) << "it began when the second was up";
  EXPECT_EQ(RefreshWaitMs(), -1);
}

// With a cycle of 2 s and nothing changing: the area once a second, and between two areas
// of the cycle's start the whole area once more in slices.
TEST_F(SamplerTest, IdleScreenHealsOverTheCycle) {
  FakeScreen s(320, 200, 32);
  Use(s);
  g_clip = ClipRect{0, 0, 320, 200};
  g_refresh_cycle = 2;
  g_max_datagram = 1472;
  ResetSampler();  // takes the cycle's setting
  UseFakeClock();
  g_full_refresh = 1;
  ScreenTick();
  const std::size_t after_refresh = sent.size();
  for (int ms = 200; ms <= 4400; ms += 200) {
    now = t0 + std::chrono::milliseconds(ms);
    ScreenTick();
  }
  EXPECT_EQ(Kind(UPDATE_AREA).size(), 5u) << "at 0, 1, 2, 3 and 4 s";
  std::vector<int> rows(200, 0);
  for (std::size_t i = after_refresh; i < sent.size(); ++i)
    if (sent[i].h.kind == UPDATE_BLOCK)
      for (int32_t y = sent[i].h.top; y < sent[i].h.bottom; ++y)
        rows[static_cast<std::size_t>(y)] += sent[i].h.left == 0 ? 1 : 0;
  for (int n : rows) EXPECT_EQ(n, 2) << "two cycles in 4.4 s, each row once a cycle";
  g_refresh_cycle = 0;
  ResetSampler();
}

TEST_F(SamplerTest, WithoutScreenStripsAreDroppedQuietly) {
  SetSamplerScreen(nullptr);  // no X screen opened in this process
  Dirty({0, 0, 10, 10});
  ScreenTick();
  SendPointer();
  EXPECT_TRUE(sent.empty());
}

// A window that repaints itself whole with only a caret changed puts the caret on the wire,
// nothing more; damage with nothing changed sends nothing; parts outside the broadcast area
// go as they are; a new area makes everything in it count as changed; a refresh sends all.
TEST_F(SamplerTest, OnlyWhatChangedGoesAndRefreshesGoWhole) {
  FakeScreen s(640, 480, 32, FakeScreen::Content::kText);
  Use(s);
  UseFakeClock();
  const Rect all{0, 0, 640, 480};
  g_clip = ClipRect{0, 0, 640, 480};
  g_full_refresh = 1;
  ScreenTick();
  ExpectBlocksTile(all);

  const Rect caret{301, 100, 311, 120};  // off the tile grid
  struct Step {
    const char* what;
    uint8_t caret;       // the caret's colour; 0xFF: not drawn
    ClipRect clip;
    bool refresh;
    std::vector<Rect> want;  // what the blocks must cover, each pixel once
  } steps[] = {
      {"caret on", 0x00, {0, 0, 640, 480}, false, {caret}},
      {"nothing changed", 0x00, {0, 0, 640, 480}, false, {}},
      {"caret off", 0xFF, {0, 0, 640, 480}, false, {caret}},
      {"the left half is the area", 0xFF, {0, 0, 320, 480}, false, {all}},
      {"same area, nothing changed: the right half is outside it", 0xFF, {0, 0, 320, 480}, false,
       {{320, 0, 640, 480}}},
      {"refresh, nothing changed", 0xFF, {0, 0, 640, 480}, true, {all}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    sent.clear();
    s.painted = step.caret == 0xFF ? Rect{} : caret;
    s.paint = step.caret;
    g_clip = step.clip;
    now += std::chrono::seconds(2);  // refreshes may begin
    if (step.refresh) g_full_refresh = 1;
    Dirty(all);
    ScreenTick();
    std::vector<uint8_t> covered(640u * 480, 0);
    for (const Datagram& d : Kind(UPDATE_BLOCK))
      for (int32_t y = d.h.top; y < d.h.bottom; ++y)
        for (int32_t x = d.h.left; x < d.h.right; ++x) ++covered[static_cast<std::size_t>(y) * 640 + x];
    std::vector<uint8_t> want(640u * 480, 0);
    for (const Rect& r : step.want)
      for (int32_t y = r.top; y < r.bottom; ++y)
        for (int32_t x = r.left; x < r.right; ++x) want[static_cast<std::size_t>(y) * 640 + x] = 1;
    EXPECT_TRUE(covered == want);
    if (!step.want.empty()) ExpectBlocksTile(step.want.size() == 1 ? step.want[0] : all);
  }
}

// Blocks out of a rectangle that a worker could not make go back into the region and are
// sent again at the next tick, although the picture sent already holds their pixels.
TEST_F(SamplerTest, DroppedPiecesGoBackInTheRegionAndAreSentAgain) {
  struct DropFirst : BlockCutter {
    std::atomic<int> calls{0};
    Cutter real;
    void Cut(Compressor& c, const CompressJob& job, DatagramList& out) override {
      if (calls++ == 0) out.Drop(job.rect);
      else real.Cut(c, job, out);
    }
  };
  DropFirst* cutter = nullptr;
  CompressPool pool([&] {
    auto c = std::make_unique<DropFirst>();
    cutter = c.get();
    return c;
  }, 1);
  SetSamplerPool(&pool);
  FakeScreen s(640, 480, 32);
  Use(s);
  g_clip = ClipRect{0, 0, 640, 480};
  const Rect r{10, 20, 210, 60};
  s.painted = r;
  s.paint = 0x33;
  Dirty(r);
  ScreenTick();
  EXPECT_TRUE(Kind(UPDATE_BLOCK).empty());
  EXPECT_TRUE(g_dirty_region->Empty()) << "handed back at the next tick, not before";
  ScreenTick();
  EXPECT_EQ(cutter->calls.load(), 2);
  ExpectBlocksTile(r);
  EXPECT_TRUE(g_dirty_region->Empty());
  SetSamplerPool(nullptr);
}

}  // namespace

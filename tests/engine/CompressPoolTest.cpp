// The compression pool: results in submission order however the workers interleave, never
// more than the window ahead of the consumer, nothing allocated per job once warm; what the
// consumer releases is counted and what the workers dropped handed back.
#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <random>
#include <thread>
#include <vector>

#include "NewCounter.h"
#include "server/CompressPool.h"
#include "server/Cutter.h"
#include "server/Pacer.h"


namespace {

using namespace std::chrono_literals;

// A picture of W x H pixels at bpp, rows of stride bytes.
struct Picture {
  int w, h, bpp;
  std::size_t stride;
  std::vector<uint8_t> bytes;
  Picture(int w_, int h_, int bpp_)
      : w(w_), h(h_), bpp(bpp_), stride(static_cast<std::size_t>(ScanLineBytes(w_, bpp_))),
        bytes(stride * static_cast<std::size_t>(h_)) {}
  uint8_t* At(int x, int y) { return bytes.data() + static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(x * bpp / 8); }
};

// Draws one UPDATE_BLOCK into the picture; false when it is not a block of exactly H x S bytes.
bool Apply(const uint8_t* d, std::size_t n, Picture& p) {
  UpdateHeader hd;
  if (!DecodeUpdateHeader(d, n, hd) || hd.kind != UPDATE_BLOCK || n != kUpdateHeaderBytes + hd.length) return false;
  const Rect r{hd.left, hd.top, hd.right, hd.bottom};
  const std::size_t s = static_cast<std::size_t>(ScanLineBytes(r.Width(), p.bpp));
  std::vector<uint8_t> rows(s * static_cast<std::size_t>(r.Height()) + 1);
  uLongf out = static_cast<uLongf>(rows.size());
  if (uncompress(rows.data(), &out, d + kUpdateHeaderBytes, hd.length) != Z_OK || out != rows.size() - 1) return false;
  const std::size_t used = static_cast<std::size_t>(r.Width() * p.bpp / 8);
  for (int64_t y = 0; y < r.Height(); ++y) {
    for (std::size_t i = used; i < s; ++i)
      if (rows[static_cast<std::size_t>(y) * s + i] != 0) return false;  // filler must be zero
    memcpy(p.At(r.left, static_cast<int>(r.top + y)), &rows[static_cast<std::size_t>(y) * s], used);
  }
  return true;
}

void Fill(Picture& p, uint32_t seed, bool noise) {
  std::mt19937 rng(seed);
  for (int y = 0; y < p.h; ++y)
    for (std::size_t i = 0; i < static_cast<std::size_t>(p.w * p.bpp / 8); ++i)
      p.bytes[static_cast<std::size_t>(y) * p.stride + i] =
          noise ? static_cast<uint8_t>(rng()) : static_cast<uint8_t>(seed + static_cast<uint32_t>(y / 4 + i / 16));
}

CompressJob Block(const Picture& p, const Rect& r, int level, uint32_t tag,
                  std::size_t max = kMaxDatagramBytes) {
  CompressJob j;
  j.max_datagram = max;
  j.rect = r;
  j.pixels = p.bytes.data() + static_cast<std::size_t>(r.top) * p.stride + static_cast<std::size_t>(r.left * p.bpp / 8);
  j.stride = p.stride;
  j.bpp = p.bpp;
  j.level = level;
  j.tag = tag;
  return j;
}

CompressPool::CutterFactory Cutters() {
  return [] { return std::make_unique<Cutter>(); };
}

// Ticks of overlapping blocks, each tick with content of its own and every third opened by
// an UPDATE_AREA; a consumer thread of its own. The picture rebuilt from the datagrams in
// the order they come must be the last content of every pixel: a block of an older tick
// arriving after a newer one over the same pixels would show through.
TEST(CompressPoolTest, ResultsComeInSubmissionOrderAcrossTicks) {
  constexpr int kW = 162, kH = 96, kTicks = 24;
  const int levels[] = {1, 0, 6};
  for (int bpp : {32, 24, 16, 8}) {
    SCOPED_TRACE("bpp " + std::to_string(bpp));
    CompressPool pool(Cutters(), 4, 3);  // more workers than cores, a tight window
    std::vector<Picture> ticks(kTicks, Picture(kW, kH, bpp));
    std::vector<CompressJob> sent;
    Picture expected(kW, kH, bpp), rebuilt(kW, kH, bpp);
    std::mt19937 rng(static_cast<uint32_t>(bpp));
    std::atomic<bool> consumer_ok{true};
    std::atomic<std::size_t> total{0};
    std::atomic<bool> submitted_all{false};
    std::thread consumer([&] {
      std::size_t seen = 0;
      const auto give_up = std::chrono::steady_clock::now() + 20s;  // a lost result: fail, not hang
      while ((!submitted_all.load() || seen < total.load()) && std::chrono::steady_clock::now() < give_up) {
        const CompressPool::Result* res = pool.Next(20ms);
        if (!res) continue;
        if (res->job->tag != seen) consumer_ok = false;
        for (std::size_t i = 0; i < res->datagrams->Count(); ++i) {
          const uint8_t* d = res->datagrams->Data(i);
          if (res->job->kind == CompressJob::kVerbatim) {
            if (memcmp(d, res->job->verbatim, kUpdateHeaderBytes) != 0) consumer_ok = false;
          } else if (res->datagrams->Length(i) > 1472 || !Apply(d, res->datagrams->Length(i), rebuilt)) {
            consumer_ok = false;
          }
        }
        if (!res->datagrams->dropped().empty()) consumer_ok = false;
        pool.Release();
        ++seen;
      }
    });
    uint32_t tag = 0;
    for (int t = 0; t < kTicks; ++t) {
      Fill(ticks[t], static_cast<uint32_t>(t * 7 + 1), t % 2 == 1);
      if (t % 3 == 0) {
        CompressJob area;
        area.kind = CompressJob::kVerbatim;
        EncodeUpdateHeader(UpdateHeader{UPDATE_AREA, 0, 0, 0, kW, kH}, area.verbatim);
        area.tag = tag++;
        pool.Submit(area);
        ++total;
      }
      for (int b = 0; b < 6; ++b) {
        // Whole rows (compressed in place) or an inner rectangle (packed), overlapping across
        // ticks.
        const int x0 = b % 2 ? static_cast<int>(rng() % (kW / 2)) : 0;
        const int x1 = b % 2 ? x0 + 1 + static_cast<int>(rng() % (kW - x0 - 1)) : kW;
        const int y0 = static_cast<int>(rng() % (kH - 1));
        const int y1 = y0 + 1 + static_cast<int>(rng() % (kH - y0 - 1 < 40 ? kH - y0 - 1 : 40) + 0);
        Rect r{x0, y0, x1, y1 > kH ? kH : y1};
        // All but the first column: at 8 bpp its scan line equals the picture's, yet the byte
        // after its pixels is the next row's, not a zero filler.
        if (b == 5) r.left = 1, r.right = kW;
        pool.Submit(Block(ticks[t], r, levels[t % 3], tag++, 1472));
        ++total;
        for (int y = r.top; y < r.bottom; ++y)
          memcpy(expected.At(r.left, y), ticks[t].At(r.left, y), static_cast<std::size_t>(r.Width() * bpp / 8));
      }
    }
    submitted_all = true;
    consumer.join();
    EXPECT_TRUE(consumer_ok.load());
    EXPECT_EQ(total.load(), static_cast<std::size_t>(kTicks * 6 + kTicks / 3));
    EXPECT_EQ(pool.Pending(), 0u);
    EXPECT_TRUE(rebuilt.bytes == expected.bytes);
  }
}

// Recording cutter: how many blocks were begun.
struct CountingCutter : Cutter {
  explicit CountingCutter(std::atomic<int>* begun) : begun_(begun) {}
  void Cut(Compressor& c, const CompressJob& job, DatagramList& out) override {
    begun_->fetch_add(1);
    Cutter::Cut(c, job, out);
  }
  std::atomic<int>* begun_;
};

// A slow consumer: the workers stop window results ahead of it, and a pool destroyed with
// jobs pending ends without waiting for them. Jobs that cannot be compressed (a level or
// depth the compressor refuses) come back in their place as dropped.
TEST(CompressPoolTest, WindowBoundsTheWorkAndFailedJobsKeepTheirPlace) {
  Picture p(64, 64, 32);
  Fill(p, 3, true);
  std::atomic<int> begun{0};
  constexpr int kJobs = 40, kWindow = 5;
  {
    CompressPool pool([&] { return std::make_unique<CountingCutter>(&begun); }, 2, kWindow);
    EXPECT_EQ(pool.window(), kWindow);
    for (int i = 0; i < kJobs; ++i) pool.Submit(Block(p, Rect{0, i % 60, 64, i % 60 + 4}, 1, static_cast<uint32_t>(i)));
    for (int released = 0; released < kJobs / 2; ++released) {
      const CompressPool::Result* res = pool.Next(2000ms);
      ASSERT_NE(res, nullptr);
      EXPECT_EQ(res->job->tag, static_cast<uint32_t>(released));
      std::this_thread::sleep_for(1ms);
      // Begun but not released: at most the window, counting the one in hand.
      EXPECT_LE(begun.load() - released, kWindow);
      pool.Release();
    }
    // The workers fill the window again (however loaded the machine), and go no further.
    const auto give_up = std::chrono::steady_clock::now() + 10s;
    while (begun.load() < kJobs / 2 + kWindow && std::chrono::steady_clock::now() < give_up)
      std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(begun.load(), kJobs / 2 + kWindow);
    EXPECT_EQ(pool.Pending(), static_cast<std::size_t>(kJobs / 2));
  }
  // Nothing to take: Next gives up after its wait, Release without a result does nothing.
  CompressPool idle(Cutters(), 1, 1);
  EXPECT_EQ(idle.Next(1ms), nullptr);
  idle.Release();
  // Jobs that cannot be compressed come back in their place, dropped whole, with no datagram.
  const Rect r{0, 0, 64, 4};
  CompressJob bad_level = Block(p, r, 42, 0), bad_depth = Block(p, r, 1, 1), fine = Block(p, r, 1, 2);
  bad_depth.bpp = 15;
  for (const CompressJob& j : {bad_level, bad_depth, fine}) idle.Submit(j);
  for (uint32_t tag = 0; tag < 3; ++tag) {
    const CompressPool::Result* res = idle.Next(2000ms);
    ASSERT_NE(res, nullptr);
    EXPECT_EQ(res->job->tag, tag);
    EXPECT_EQ(res->datagrams->Count(), tag == 2 ? 1u : 0u);
    EXPECT_EQ(res->datagrams->dropped().size(), tag == 2 ? 0u : 1u);
    idle.Release();
  }
  EXPECT_EQ(idle.Pending(), 0u);
}

// Once every buffer has met its largest job, further ticks of the same jobs allocate nothing:
// neither the pool's buffers nor anything through operator new (job ring, result lists).
TEST(CompressPoolTest, SteadyStateAllocatesNothingPerJob) {
  Picture p(256, 128, 32);
  Fill(p, 9, true);
  CompressPool pool(Cutters(), 2, 4);
  auto tick = [&] {
    // Job i goes to slot i % window every tick, but to either worker: every job is as large,
    // so that both workers' buffers are grown by their first jobs.
    for (int i = 0; i < 100; ++i) pool.Submit(Block(p, Rect{i % 64, (i * 5) % 100, i % 64 + 192, (i * 5) % 100 + 28}, 1, 0, 1472));
    for (int i = 0; i < 100; ++i) {
      ASSERT_NE(pool.Next(2000ms), nullptr);
      pool.Release();
    }
  };
  tick();
  tick();
  const std::size_t growths = GrowBuffer::Growths();
  const long news = NewCount();
  tick();
  tick();
  EXPECT_EQ(GrowBuffer::Growths(), growths);
  if (kCountNew) {
    EXPECT_EQ(NewCount(), news);
  }
}

// The consumer's side: Ready gives the run of done results from the oldest, in order, at most
// as many as asked; every datagram keeps the job's spare bytes free after it (the sealer
// writes there); Release(n) frees n, hands back what their jobs dropped and counts what they
// made by tag; the hook says when the oldest comes ready.
TEST(CompressPoolTest, ConsumerTakesRunsAndReleasesAreAccounted) {
  Picture p(96, 64, 32);
  Fill(p, 4, true);
  CompressPool pool(Cutters(), 2, 4);
  std::atomic<int> hooks{0};
  pool.SetReadyHook([](void* n) { static_cast<std::atomic<int>*>(n)->fetch_add(1); }, &hooks);
  CompressJob noisy = Block(p, Rect{0, 0, 96, 20}, 1, 1, 1472), area, bad = Block(p, Rect{0, 0, 8, 8}, 1, 2),
              last = Block(p, Rect{0, 20, 96, 21}, 1, 1, 1472);
  noisy.spare = 32;
  area.kind = CompressJob::kVerbatim;
  EncodeUpdateHeader(UpdateHeader{UPDATE_AREA, 0, 0, 0, 96, 64}, area.verbatim);
  bad.bpp = 12;
  for (const CompressJob& j : {noisy, area, bad, last}) pool.Submit(j);
  CompressPool::Result got[8];
  std::size_t n = 0;
  for (const auto give_up = std::chrono::steady_clock::now() + 10s;
       n < 4 && std::chrono::steady_clock::now() < give_up;)
    n = pool.Ready(got, 8, 2000ms);
  ASSERT_EQ(n, 4u);
  EXPECT_EQ(pool.Ready(got, 2, 0ms), 2u) << "no more than asked";
  EXPECT_EQ(pool.Ready(got, 0, 0ms), 0u);
  n = pool.Ready(got, 8, 0ms);
  const DatagramList& blocks = *got[0].datagrams;
  ASSERT_GE(blocks.Count(), 2u) << "20 rows of noise do not fit one 1472-byte datagram";
  uint64_t wire = 0, bytes = 0;
  for (std::size_t i = 0; i < blocks.Count(); ++i) {
    EXPECT_LE(blocks.Length(i), 1472u);
    wire += WireBytes(blocks.Length(i) + 32);
    bytes += blocks.Length(i);
    if (i > 0) {
      EXPECT_EQ(blocks.Data(i) - blocks.Data(i - 1), static_cast<std::ptrdiff_t>(blocks.Length(i - 1) + 32));
    }
  }
  EXPECT_EQ(got[1].job->kind, CompressJob::kVerbatim);
  ASSERT_EQ(got[1].datagrams->Count(), 1u);
  EXPECT_EQ(memcmp(got[1].datagrams->Data(0), area.verbatim, kUpdateHeaderBytes), 0);
  EXPECT_EQ(got[2].datagrams->Count(), 0u);
  EXPECT_GE(hooks.load(), 1);

  std::vector<Rect> dropped;
  pool.TakeDropped(dropped);
  EXPECT_TRUE(dropped.empty()) << "handed back only once released";
  pool.Release(3);
  EXPECT_EQ(pool.Pending(), 1u);
  pool.TakeDropped(dropped);
  EXPECT_EQ(dropped, (std::vector<Rect>{Rect{0, 0, 8, 8}}));
  EXPECT_EQ(pool.ReleasedOf(1).datagrams, blocks.Count());
  EXPECT_EQ(pool.ReleasedOf(1).bytes, bytes);
  EXPECT_EQ(pool.ReleasedOf(1).wire, wire);
  EXPECT_EQ(pool.ReleasedOf(0).datagrams, 1u);
  EXPECT_EQ(pool.ReleasedOf(0).wire, WireBytes(kUpdateHeaderBytes));
  EXPECT_EQ(pool.ReleasedOf(2).datagrams, 0u);
  pool.Release(5);  // more than there are: the last one only
  EXPECT_EQ(pool.Pending(), 0u);
  EXPECT_EQ(pool.ReleasedOf(1).datagrams, blocks.Count() + 1);

  // A consumer that leaves takes away its own hook only, never the one that replaced it.
  std::atomic<int> other{0};
  pool.RemoveReadyHook(&other);
  const int before = hooks.load();
  pool.Submit(last);
  ASSERT_NE(pool.Next(2000ms), nullptr);
  pool.Release();
  EXPECT_EQ(hooks.load(), before + 1);
  pool.RemoveReadyHook(&hooks);
  pool.Submit(last);
  ASSERT_NE(pool.Next(2000ms), nullptr);
  pool.Release();
  EXPECT_EQ(hooks.load(), before + 1);
}

}  // namespace

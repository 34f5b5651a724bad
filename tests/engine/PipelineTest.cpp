// The sampler, the compression pool and the sender thread together, on a fake screen and a
// recording transport: what reaches the wire, in what order, sealed where it lies. Run under
// ThreadSanitizer: the main thread, the workers and the sender share the pool and the queue.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>
#include <thread>

#include "EngineFakes.h"
#include "NewCounter.h"
#include "server/CompressPool.h"
#include "server/Cutter.h"
#include "server/Sampler.h"
#include "server/Sender.h"

using namespace enginetest;
using namespace std::chrono_literals;

#if defined(__SANITIZE_THREAD__)
// The sampler's compression workers wait, idle, until the process ends; ThreadSanitizer's
// second of grace at exit would only wait for them, in every case of this executable.
extern "C" const char* __tsan_default_options() { return "atexit_sleep_ms=0"; }
#endif


namespace {

class PipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FreshServerState();
    ResetSampler();
    sender.SetSealer(&sealer);
    SetSamplerOutput(&sender);
  }
  void TearDown() override {
    sender.Stop();
    sender.SetSource(nullptr);
    SetSamplerPool(nullptr);
    SetSamplerOutput(nullptr);
    SetSamplerScreen(nullptr);
    SetSamplerTickBudget(std::chrono::nanoseconds(0));
  }
  // The sender takes its blocks from pool, at rate kbit/s.
  void Start(CompressPool* pool, uint32_t rate) {
    sender.SetSource(pool);
    sender.Configure(rate, 1472);
    ASSERT_TRUE(sender.Start());
  }
  void Dirty(const Rect& r) {
    std::lock_guard<std::mutex> hold(*g_mutex);
    g_dirty_region->Union(r);
  }
  // A pool of the test's own for the sampler; it goes after TearDown has stopped the sender.
  CompressPool& UsePool(const CompressPool::CutterFactory& cutters, int workers) {
    own_pool = std::make_unique<CompressPool>(cutters, workers);
    SetSamplerPool(own_pool.get());
    return *own_pool;
  }
  bool Drained(std::chrono::milliseconds limit) {
    for (const auto end = std::chrono::steady_clock::now() + limit; !sender.Drained();) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(1ms);
    }
    return true;
  }
  // What went on the wire, trailers checked and taken off.
  std::vector<Datagram> Wire() {
    std::vector<Datagram> out;
    uint64_t seq = 0;
    for (const auto& s : transport.Take()) {
      Datagram d;
      d.bytes = s.d;
      EXPECT_LE(d.bytes.size(), 1472u);
      uint64_t sealed = ~uint64_t{0};
      if (d.bytes.size() >= 36) std::memcpy(&sealed, d.bytes.data() + d.bytes.size() - 16, 8);
      EXPECT_EQ(sealed, seq++) << "every datagram sealed, in the order sent";
      d.bytes.resize(d.bytes.size() - 16);
      DecodeUpdateHeader(d.bytes.data(), d.bytes.size(), d.h);
      out.push_back(std::move(d));
    }
    return out;
  }

  std::unique_ptr<CompressPool> own_pool;  // declared first: it goes last
  RecordingTransport transport;
  CountingSealer sealer;
  Sender sender{&transport};
};

// A full refresh, paced, with the pointer moved: its UPDATE_AREA goes before every one of its
// blocks, the blocks rebuild the area exactly, every datagram (the pointer's included) fits
// MaxDatagram with the trailer and is sealed in send order.
TEST_F(PipelineTest, AFullRefreshGoesOutInOrderTheAreaFirst) {
  FakeScreen s(640, 480, 32, FakeScreen::Content::kText);
  SetSamplerScreen(&s);
  s.px = 5;
  g_cursor_changed = 1;
  Start(SamplerPool(), 20000);
  const Rect all{0, 0, 640, 480};
  g_clip = ClipRect{0, 0, 640, 480};
  g_full_refresh = 1;
  ScreenTick();
  ASSERT_TRUE(Drained(5s));
  const std::vector<Datagram> wire = Wire();
  int area_at = -1, first_block = -1, pointers = 0;
  for (int i = 0; i < static_cast<int>(wire.size()); ++i) {
    const uint16_t kind = wire[static_cast<std::size_t>(i)].h.kind;
    if (kind == UPDATE_AREA && area_at < 0) area_at = i;
    if (kind == UPDATE_BLOCK && first_block < 0) first_block = i;
    pointers += kind == UPDATE_POINTER;
  }
  ASSERT_GE(area_at, 0);
  EXPECT_LT(area_at, first_block);
  EXPECT_EQ(pointers, 1);
  std::vector<uint8_t> picture(640u * 480 * 4, 0xEE);
  ASSERT_TRUE(Replay(wire, s, all, picture));
  EXPECT_EQ(WrongBytes(picture, s, all), 0);
}

// Ticks that stopped for their time go on while the pool still holds their jobs (the sender
// paces them out); a client paints over pixels whose older blocks are still waiting. The
// newer blocks never go out before the older: the picture rebuilt from the wire in order is
// the screen's last picture.
TEST_F(PipelineTest, OverlappingTicksAreNeverReordered) {
  FakeScreen s(400, 300, 32, FakeScreen::Content::kPhoto);
  SetSamplerScreen(&s);
  s.capture_delay = 25ms;  // one rectangle a tick
  SetSamplerTickBudget(20ms);
  Start(SamplerPool(), 8000);  // 1 MB/s: the photo takes a third of a second
  const Rect all{0, 0, 400, 300};
  g_clip = ClipRect{0, 0, 400, 300};
  for (int y = 0; y < 300; y += 50) Dirty(Rect{0, y, 400, y + 49});  // apart: six rectangles
  bool went_on_while_pending = false;
  for (int tick = 0; tick < 200; ++tick) {
    if (tick == 2) {
      // Over the first rectangle, whose blocks are still on their way.
      s.painted = Rect{50, 10, 350, 40};
      s.paint = 0x77;
      Dirty(s.painted);
    }
    const std::size_t pending = SamplerPool()->Pending(), captures = s.captures.size();
    const bool more = ScreenTick();
    went_on_while_pending |= pending > 0 && s.captures.size() > captures;
    std::lock_guard<std::mutex> hold(*g_mutex);
    if (!more && g_dirty_region->Empty() && tick > 2) break;
    if (!more) std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(went_on_while_pending);
  ASSERT_TRUE(Drained(10s));
  std::vector<uint8_t> picture(400u * 300 * 4, 0xEE);
  for (int y = 49; y < 300; y += 50)  // the rows between the rectangles were never damaged
    for (int x = 0; x < 400; ++x)
      for (int i = 0; i < 4; ++i)
        picture[(static_cast<std::size_t>(y) * 400 + x) * 4 + i] = s.Byte(x, y, i);
  ASSERT_TRUE(Replay(Wire(), s, all, picture));
  EXPECT_EQ(WrongBytes(picture, s, all), 0) << "an older block went out after a newer one";
}

// Blocks a worker could not make go back into the region at the next tick and reach the wire
// then, although the picture sent holds their pixels already.
TEST_F(PipelineTest, DroppedPiecesAreSentAgain) {
  struct DropFirstTwo : BlockCutter {
    std::atomic<int>* calls;
    Cutter real;
    void Cut(Compressor& c, const CompressJob& job, DatagramList& out) override {
      if (calls->fetch_add(1) < 2) out.Drop(job.rect);
      else real.Cut(c, job, out);
    }
  };
  std::atomic<int> calls{0};
  CompressPool& pool = UsePool([&] {
    auto c = std::make_unique<DropFirstTwo>();
    c->calls = &calls;
    return c;
  }, 2);
  FakeScreen s(640, 480, 32, FakeScreen::Content::kText);
  SetSamplerScreen(&s);
  Start(&pool, 0);
  g_clip = ClipRect{0, 0, 640, 480};
  s.painted = Rect{0, 0, 640, 172};  // two strips of 86 rows
  s.paint = 0x10;
  Dirty(s.painted);
  ScreenTick();
  ASSERT_TRUE(Drained(5s));
  EXPECT_TRUE(Wire().empty());
  ScreenTick();
  ASSERT_TRUE(Drained(5s));
  std::vector<uint8_t> picture(640u * 172 * 4, 0xEE);
  ASSERT_TRUE(Replay(Wire(), s, s.painted, picture));
  EXPECT_EQ(WrongBytes(picture, s, s.painted), 0);
  std::lock_guard<std::mutex> hold(*g_mutex);
  EXPECT_TRUE(g_dirty_region->Empty());
}

// Once every buffer has met its largest tick, full refreshes and changes through the sampler,
// the pool and the sender thread allocate nothing: no piece costs an allocation (operator new
// is counted; the picture sent, the arena and the region are grown with malloc once).
TEST_F(PipelineTest, SteadyTicksAllocateNothing) {
  if (!kCountNew) GTEST_SKIP() << "the sanitizers own operator new";
  // One worker, so that the warm-up shows it every shape of job (each worker's buffers
  // grow to what it met).
  CompressPool& pool = UsePool([] { return std::make_unique<Cutter>(); }, 1);
  FakeScreen s(640, 480, 32, FakeScreen::Content::kText);
  SetSamplerScreen(&s);
  transport.keep = false;
  Start(&pool, 0);
  g_clip = ClipRect{0, 0, 640, 480};
  auto now = std::chrono::steady_clock::now();
  SetSamplerClock([&now] { return now; });
  auto round = [&](int i) {
    now += 2s;  // a refresh may begin
    g_full_refresh = 1;
    ScreenTick();
    ASSERT_TRUE(Drained(5s));
    s.painted = Rect{20, 20, 320, 220};
    s.paint = static_cast<uint8_t>(i);
    Dirty(s.painted);
    ScreenTick();
    ASSERT_TRUE(Drained(5s));
  };
  for (int i = 0; i < 3; ++i) round(i);
  s.captures.reserve(s.captures.size() + 64);  // the fake's own note of what it was asked
  const long news = NewCount();
  const std::size_t datagrams = transport.datagrams;
  for (int i = 3; i < 6; ++i) round(i);
  EXPECT_EQ(NewCount() - news, 0);
  EXPECT_GT(transport.datagrams - datagrams, 3u * 20) << "the rounds sent nothing";
  SetSamplerClock(nullptr);
}

}  // namespace

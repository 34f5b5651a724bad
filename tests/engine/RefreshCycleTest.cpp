// The healing cycle and the refresh gate in simulated time: slices cover the whole area once
// per cycle however the ticks fall, the area is announced once a second, the slices keep to
// their share of the rate, and refresh requests begin at most once a second.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "server/RefreshCycle.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

TEST(RefreshCycle, SlicesCoverTheAreaOncePerCycleWhateverTheTicks) {
  struct Case { uint32_t cycle_s; Rect area; int tick_ms_min, tick_ms_max; };
  const Case cases[] = {
      {10, {0, 0, 1920, 1080}, 200, 200},
      {10, {0, 0, 1920, 1080}, 120, 450},   // irregular ticks, some late
      {1, {-5, 7, 100, 9}, 10, 30},         // two rows, off the origin
      {3, {0, 0, 640, 480}, 1000, 5000},    // ticks longer than the cycle itself
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.cycle_s) + " s, ticks " + std::to_string(c.tick_ms_min));
    RefreshCycle cycle;
    cycle.Configure(c.cycle_s, 0);
    std::mt19937 rng(3);
    Clock::time_point t{};
    EXPECT_TRUE(cycle.NextSlice(c.area, t).IsEmpty()) << "the first tick's refresh covers it";
    std::vector<int> rows(static_cast<std::size_t>(c.area.Height()), 0);
    int32_t next_top = c.area.top;
    int cycles = 0;
    Clock::time_point cycle_start = t;
    while (cycles < 3) {
      t += std::chrono::milliseconds(c.tick_ms_min + static_cast<int>(rng() % (c.tick_ms_max - c.tick_ms_min + 1)));
      const Rect s = cycle.NextSlice(c.area, t);
      if (s.IsEmpty()) continue;
      EXPECT_EQ(s.left, c.area.left);
      EXPECT_EQ(s.right, c.area.right);
      EXPECT_EQ(s.top, next_top) << "slices follow each other";
      for (int32_t y = s.top; y < s.bottom; ++y) ++rows[static_cast<std::size_t>(y - c.area.top)];
      next_top = s.bottom;
      if (s.bottom == c.area.bottom) {
        for (int n : rows) ASSERT_EQ(n, 1);
        // A cycle takes its time, plus at most the tick that ends it.
        EXPECT_LE(t - cycle_start, std::chrono::seconds(c.cycle_s) + std::chrono::milliseconds(c.tick_ms_max));
        std::fill(rows.begin(), rows.end(), 0);
        next_top = c.area.top;
        cycle_start = t;
        ++cycles;
      }
    }
  }
}

TEST(RefreshCycle, OffSendsNeitherSlicesNorAreas) {
  RefreshCycle cycle;
  cycle.Configure(0, 6'250'000);
  Clock::time_point t{};
  for (int i = 0; i < 100; ++i, t += 200ms) {
    EXPECT_TRUE(cycle.NextSlice(Rect{0, 0, 100, 100}, t).IsEmpty());
    EXPECT_FALSE(cycle.AreaDue(t));
  }
}

TEST(RefreshCycle, AreaOnceASecondAndARefreshStartsTheCycleAgain) {
  RefreshCycle cycle;
  cycle.Configure(10, 0);
  const Clock::time_point t0{};
  EXPECT_TRUE(cycle.AreaDue(t0));
  cycle.AreaSent(t0);
  EXPECT_FALSE(cycle.AreaDue(t0 + 999ms));
  EXPECT_TRUE(cycle.AreaDue(t0 + 1000ms));
  const Rect area{0, 0, 100, 1000};
  cycle.NextSlice(area, t0);
  EXPECT_EQ(cycle.NextSlice(area, t0 + 5s).bottom, 500);
  cycle.Restart(t0 + 5s);  // a full refresh went out
  EXPECT_EQ(cycle.NextSlice(area, t0 + 6s), (Rect{0, 0, 100, 100}));
}

// At 1 MB/s the slices may take 250 KB/s; slices that cost more make the cycle stretch.
TEST(RefreshCycle, SlicesKeepToTheirShareOfTheRate) {
  RefreshCycle cycle;
  const uint64_t rate = 1'000'000;
  cycle.Configure(10, rate);
  const Rect area{0, 0, 1000, 1000};
  Clock::time_point t{};
  cycle.NextSlice(area, t);
  double spent = 0;
  int64_t rows = 0;
  for (int i = 0; i < 100; ++i) {  // 20 s of ticks
    t += 200ms;
    const Rect s = cycle.NextSlice(area, t);
    if (s.IsEmpty()) continue;
    rows += s.Height();
    const double cost = 4000.0 * static_cast<double>(s.Height());  // 4 MB for the whole area
    cycle.SliceSent(static_cast<std::size_t>(cost));
    spent += cost;
  }
  const double share = RefreshCycle::kRateShare * static_cast<double>(rate);
  EXPECT_LE(spent, share * 20 + share + 4000.0 * 100) << "a second saved up and one slice over";
  EXPECT_GE(spent, share * 20 * 0.8) << "the share is used";
  // 4 MB a cycle at 250 KB/s: a cycle takes 16 s, not 10.
  EXPECT_LT(rows, 1400) << "the cycle did not stretch";
}

TEST(RefreshGate, RequestsBeginAtMostOnceASecond) {
  RefreshGate gate;
  const Clock::time_point t0{};
  EXPECT_TRUE(gate.MayBegin(t0));
  gate.Began(t0);
  EXPECT_FALSE(gate.MayBegin(t0 + 999ms));
  EXPECT_TRUE(gate.MayBegin(t0 + 1000ms));
}

}  // namespace

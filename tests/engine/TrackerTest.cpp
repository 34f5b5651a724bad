#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <map>

#include "EngineFakes.h"
#include "tests/support/TestSupport.h"
#include "hooks/hooks.h"
#include "platform/Thread.h"
#include "platform/ThreadQueue.h"
#include "platform/WindowQuery.h"
#include "server/Tracker.h"

using namespace enginetest;

namespace {

struct FakeWindow {
  bool visible = true, minimised = false, rect_ok = true, client_ok = true;
  Rect window, client;
};

class FakeWindows : public WindowQuery {
 public:
  bool Exists(unsigned long w) override { return windows.count(w) != 0; }
  bool Visible(unsigned long w) override { return Exists(w) && windows[w].visible; }
  bool Minimised(unsigned long w) override { return Exists(w) && windows[w].minimised; }
  bool WindowRect(unsigned long w, Rect& r) override {
    if (!Exists(w) || !windows[w].rect_ok) return false;
    r = windows[w].window;
    return true;
  }
  bool ClientRect(unsigned long w, Rect& r) override {
    if (!Exists(w) || !windows[w].client_ok) return false;
    r = windows[w].client;
    return true;
  }
  bool RootSize(int32_t* width, int32_t* height) override {
    *width = root_width;
    *height = root_height;
    return root_width > 0;
  }
  std::map<unsigned long, FakeWindow> windows;
  int32_t root_width = 1024, root_height = 768;  // 0: the size cannot be read
};

std::atomic<bool> g_thread_done{false};
int HookThreadThenMark(void* arg) {
  int rc = HookThread(arg);
  g_thread_done = true;
  return rc;
}

uint64_t Pack(uint32_t a, uint32_t b) { return (a & 0xffff) | (uint64_t{b & 0xffff} << 16); }

class TrackerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FreshServerState();
    SetTrackerWindowQuery(&fake);
  }
  void TearDown() override { SetTrackerWindowQuery(nullptr); }

  // Runs a hook thread, posts the messages to it, then the quit message, and waits for it to
  // end: the region then holds whatever the notifications added.
  void Deliver(const std::vector<ThreadMessage>& messages) {
    g_thread_done = false;
    long tid = 0;
    ASSERT_TRUE(StartThread(HookThreadThenMark, nullptr, &tid));
    for (const ThreadMessage& m : messages) {
      // The queue holds only a few messages: wait while it is full.
      ASSERT_TRUE(testsupport::WaitFor(
          [&] { return PostThreadMessage(tid, m.message, m.wparam, m.lparam); },
          std::chrono::seconds(5)));
    }
    ASSERT_TRUE(PostQuitMessage(tid));
    ASSERT_TRUE(testsupport::WaitFor([] { return g_thread_done.load(); }, std::chrono::seconds(5)));
  }

  FakeWindows fake;
  const HookMessages n = QueryHookMessages();
};

TEST_F(TrackerTest, HookLibraryHandsOutFiveDistinctNumbers) {
  const uint32_t all[] = {n.window, n.border, n.client, n.rectangle, n.cursor};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(all[i], 0xC000u + i);
    for (int j = 0; j < i; ++j) EXPECT_NE(all[i], all[j]);
  }
}

// The range is -1000 to 3000, or on a larger root up to its width (left, right) or height
// (top, bottom) plus 1000; a rectangle with an edge outside is dropped whole.
TEST_F(TrackerTest, RectanglesWithAnEdgeOutsideTheRangeAreDroppedWhole) {
  struct {
    int32_t root_width, root_height;  // 0: the root's size cannot be read
    Rect r;
    bool added;
  } cases[] = {
      {1920, 1080, {-1000, 0, 10, 10}, true},  {1920, 1080, {-1001, 0, 10, 10}, false},
      {1920, 1080, {0, -1000, 10, 10}, true},  {1920, 1080, {0, -1001, 10, 10}, false},
      {1920, 1080, {0, 0, 3000, 10}, true},    {1920, 1080, {0, 0, 3001, 10}, false},
      {1920, 1080, {0, 0, 10, 3000}, true},    {1920, 1080, {0, 0, 10, 3001}, false},
      {1920, 1080, {2990, 2990, 3000, 3000}, true},
      {1920, 1080, {10, 10, 0, 0}, true},      // swapped edges name the same area
      {1920, 1080, {5, 0, 5, 10}, false},      // zero width: nothing
      // Up to 2000 px the bound stays 3000; one pixel more moves it.
      {2000, 2000, {0, 0, 3000, 3000}, true},  {2000, 2000, {0, 0, 3001, 10}, false},
      {2000, 2000, {0, 0, 10, 3001}, false},   {2001, 2001, {0, 0, 3001, 3001}, true},
      {2001, 2001, {0, 0, 3002, 10}, false},   {2001, 2001, {0, 0, 10, 3002}, false},
      // 3840 x 2160: a window opened at (3400, 1900); bounds 4840 across, 3160 down.
      {3840, 2160, {3400, 1900, 3700, 2100}, true},
      {3840, 2160, {3700, 2000, 3840, 2160}, true},
      {3840, 2160, {4000, 0, 4840, 10}, true}, {3840, 2160, {4000, 0, 4841, 10}, false},
      {3840, 2160, {0, 3000, 10, 3160}, true}, {3840, 2160, {0, 3000, 10, 3161}, false},
      {3840, 2160, {3161, 0, 3170, 10}, true},  // the height does not bound left/right
      {3840, 2160, {-1001, 1900, 3700, 2100}, false},
      // 7680 x 4320: bounds 8680 and 5320.
      {7680, 4320, {7000, 4000, 7680, 4320}, true},
      {7680, 4320, {0, 0, 8680, 5320}, true},  {7680, 4320, {0, 0, 8681, 10}, false},
      {7680, 4320, {0, 0, 10, 5321}, false},
      // An unreadable root size keeps 3000.
      {0, 0, {0, 0, 3000, 3000}, true},        {0, 0, {0, 0, 3001, 10}, false},
  };
  for (auto& c : cases) {
    fake.root_width = c.root_width;
    fake.root_height = c.root_height;
    SetTrackerWindowQuery(&fake);  // a new query: the root's size is read afresh
    g_dirty_region->Clear();
    AddDirtyRect(c.r.left, c.r.top, c.r.right, c.r.bottom);
    EXPECT_EQ(!g_dirty_region->Empty(), c.added)
        << c.root_width << "x" << c.root_height << ": " << c.r.left << "," << c.r.top << ","
        << c.r.right << "," << c.r.bottom;
  }
  g_dirty_region->Clear();
  AddDirtyRect(10, 10, 0, 0);
  EXPECT_EQ(g_dirty_region->Extents(), (Rect{0, 0, 10, 10}));
}

TEST_F(TrackerTest, PostedRectanglesArriveUnpackedAndNegativeOnesWrap) {
  Deliver({
      {n.rectangle, Pack(10, 20), Pack(110, 70)},
      // -5 packed as unsigned 16 bits is 65531: far beyond 3000, dropped.
      {n.rectangle, Pack(static_cast<uint32_t>(-5), 0), Pack(20, 20)},
      {n.rectangle, Pack(0, static_cast<uint32_t>(-1)), Pack(20, 20)},
      // Bits above 31 of the parameters are not part of the rectangle.
      {n.rectangle, Pack(200, 200) | (uint64_t{0xdead} << 32), Pack(210, 230)},
  });
  std::vector<Rect> rects = g_dirty_region->Rectangles();
  ASSERT_EQ(rects.size(), 2u);
  EXPECT_EQ(rects[0], (Rect{10, 20, 110, 70}));
  EXPECT_EQ(rects[1], (Rect{200, 200, 210, 230}));
}

TEST_F(TrackerTest, WindowNotificationsNeedAShowingWindow) {
  const Rect frame{100, 100, 300, 250}, client{105, 125, 295, 245};
  struct { FakeWindow w; bool exists; bool added; const char* what; } cases[] = {
      {{true, false, true, true, frame, client}, true, true, "showing"},
      {{false, false, true, true, frame, client}, true, false, "hidden"},
      {{true, true, true, true, frame, client}, true, false, "minimised"},
      {{true, false, false, true, frame, client}, true, false, "rectangle unreadable"},
      {{true, false, true, true, frame, client}, false, false, "gone"},
      {{true, false, true, true, {100, 100, 3001, 250}, {105, 125, 2995, 245}}, true, false,
       "reaches x = 3001"},
      {{true, false, true, true, {5, 5, 5, 50}, {5, 5, 5, 50}}, true, false, "empty"},
  };
  for (auto& c : cases) {
    fake.windows.clear();
    if (c.exists) fake.windows[42] = c.w;
    g_dirty_region->Clear();
    Deliver({{n.window, 0, 42}});
    EXPECT_EQ(!g_dirty_region->Empty(), c.added) << c.what;
    if (c.added) {
      EXPECT_EQ(g_dirty_region->Extents(), c.w.window) << c.what;
    }
  }
}

TEST_F(TrackerTest, FrameNotificationAddsTheFourBandsOnly) {
  fake.windows[7] = FakeWindow{true, false, true, true, {100, 100, 300, 250}, {105, 125, 295, 245}};
  Deliver({{n.border, 0, 7}});
  Region want;
  want.Union(Rect{100, 100, 300, 125});
  want.Union(Rect{100, 100, 105, 250});
  want.Union(Rect{100, 245, 300, 250});
  want.Union(Rect{295, 100, 300, 250});
  EXPECT_EQ(g_dirty_region->Rectangles(), want.Rectangles());
  EXPECT_FALSE(g_dirty_region->Contains(Rect{105, 125, 295, 245}));

  // Without a frame the four bands are empty and nothing is added.
  g_dirty_region->Clear();
  fake.windows[8] = FakeWindow{true, false, true, true, {10, 10, 60, 60}, {10, 10, 60, 60}};
  fake.windows[9] = FakeWindow{true, false, true, false, {10, 10, 60, 60}, {}};  // no client rect
  Deliver({{n.border, 0, 8}, {n.border, 0, 9}});
  EXPECT_TRUE(g_dirty_region->Empty());
}

TEST_F(TrackerTest, ClientNotificationAddsTheClientArea) {
  fake.windows[3] = FakeWindow{true, false, true, true, {0, 0, 500, 400}, {4, 20, 496, 396}};
  fake.windows[4] = FakeWindow{true, true, true, true, {0, 0, 500, 400}, {4, 20, 496, 396}};
  Deliver({{n.client, 0, 3}, {n.client, 0, 4}});
  EXPECT_EQ(g_dirty_region->Rectangles(), (std::vector<Rect>{{4, 20, 496, 396}}));
}

TEST_F(TrackerTest, PointerNotificationRaisesTheFlagAndOthersAreIgnored) {
  g_cursor_changed = 0;
  Deliver({{0x1234, 1, 2}, {n.cursor, 0, 0}});
  EXPECT_EQ(g_cursor_changed.load(), 1);
  EXPECT_TRUE(g_dirty_region->Empty());
}

TEST_F(TrackerTest, ManyOverlappingNotificationsLeaveOneMergedArea) {
  std::vector<ThreadMessage> messages;
  for (int i = 0; i < 200; ++i)
    messages.push_back({n.rectangle, Pack(100 + i % 20, 100 + i % 13), Pack(300 - i % 17, 300 - i % 11)});
  messages.push_back({n.rectangle, Pack(100, 100), Pack(300, 300)});
  Deliver(messages);
  EXPECT_EQ(g_dirty_region->Rectangles(), (std::vector<Rect>{{100, 100, 300, 300}}));
}

TEST(RegionTest, BandedOrderAndTakeEmpties) {
  Region r;
  r.Union(Rect{50, 0, 60, 10});
  r.Union(Rect{0, 0, 10, 10});
  r.Union(Rect{0, 20, 100, 30});
  r.Union(Rect{5, 5, 15, 25});  // overlaps both bands
  std::vector<Rect> rects;
  ASSERT_TRUE(r.TakeRectangles(rects));
  EXPECT_TRUE(r.Empty());
  // Bands top to bottom, left to right within a band, no overlap.
  for (std::size_t i = 1; i < rects.size(); ++i) {
    const Rect &a = rects[i - 1], &b = rects[i];
    EXPECT_TRUE(a.top < b.top || (a.top == b.top && a.right <= b.left)) << i;
  }
  Region again;
  for (const Rect& x : rects) again.Union(x);
  EXPECT_TRUE(again.Contains(Rect{5, 5, 15, 25}));
  EXPECT_TRUE(again.Contains(Rect{0, 20, 100, 30}));
  EXPECT_FALSE(again.Contains(Rect{10, 0, 50, 5}));
  again.Replace(Rect{1, 2, 3, 4});
  EXPECT_EQ(again.Rectangles(), (std::vector<Rect>{{1, 2, 3, 4}}));
  again.Intersect(Rect{2, 0, 10, 3});
  EXPECT_EQ(again.Rectangles(), (std::vector<Rect>{{2, 2, 3, 3}}));
}

TEST(ThreadQueueTest, PostsReachTheThreadAndAFullQueueRefusesWithoutWaiting) {
  ASSERT_TRUE(EnsureThreadQueue());
  const long me = CurrentThreadId();
  int posted = 0;
  while (posted < 1000 && PostThreadMessage(me, 0x400 + posted, posted, uint64_t{1} << 40))
    ++posted;
  EXPECT_GE(posted, 1);
  EXPECT_LT(posted, 1000) << "the kernel bounds the queue";
  for (int i = 0; i < posted; ++i) {
    ThreadMessage m;
    ASSERT_EQ(WaitThreadMessage(m, 1000), 1);
    EXPECT_EQ(m.message, 0x400u + i);
    EXPECT_EQ(m.wparam, static_cast<uint64_t>(i));
    EXPECT_EQ(m.lparam, uint64_t{1} << 40);
  }
  ThreadMessage m;
  EXPECT_EQ(WaitThreadMessage(m, 20), 0);
  ASSERT_TRUE(PostQuitMessage(me));
  EXPECT_FALSE(GetThreadMessage(m));
  EXPECT_FALSE(PostThreadMessage(999999999, 1, 0, 0)) << "no such thread";
}

std::atomic<long> g_started_tid{0};
int ReportTid(void*) {
  g_started_tid = CurrentThreadId();
  ThreadMessage m;
  while (GetThreadMessage(m)) {
  }
  return 0;
}

TEST(ThreadTest, StartedThreadHasItsQueueAndPriorityIsAnOffset) {
  long tid = 0;
  ASSERT_TRUE(StartThread(ReportTid, nullptr, &tid));
  // Posting right away is not lost: the queue exists before StartThread returns.
  EXPECT_TRUE(PostThreadMessage(tid, 0x500, 0, 0));
  ASSERT_TRUE(testsupport::WaitFor([] { return g_started_tid.load() != 0; }, std::chrono::seconds(2)));
  EXPECT_EQ(g_started_tid.load(), tid);
  errno = 0;
  const int start = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
  ASSERT_TRUE(SetThreadPriorityOffset(tid, 5));
  EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(tid)), std::min(start + 5, 19));
  ASSERT_TRUE(SetThreadPriorityOffset(tid, 5));  // an offset from the start, not cumulative
  EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(tid)), std::min(start + 5, 19));
  EXPECT_TRUE(SetThreadPriorityOffset(tid, -5)) << "a refused raise is no failure";
  EXPECT_TRUE(PostQuitMessage(tid));
}

}  // namespace

// The X side of the engine on a private Xvfb: screen capture, window queries and the hook
// library's notifications.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Region.h"

#include "hooks/hooks.h"
#include "platform/Screen.h"
#include "platform/Thread.h"
#include "platform/ThreadQueue.h"
#include "platform/WindowQuery.h"
#include "Common/UpdateHeader.h"
#include "server/Tracker.h"
#include "tests/engine/EngineFakes.h"
#include "tests/support/TestSupport.h"

// After gtest, whose templates Xlib's macros (None, Bool) would break; Xutil.h names its own
// region type "Region", kept out of the way of ours.
#define Region XlibRegion
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#undef Region

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A drawing client: fills rectangles of the root with a colour, as a program would.
class Painter {
 public:
  explicit Painter(const std::string& display) {
    dpy_ = XOpenDisplay(display.c_str());
    if (dpy_) gc_ = XCreateGC(dpy_, DefaultRootWindow(dpy_), 0, nullptr);
  }
  ~Painter() {
    if (dpy_) {
      XFreeGC(dpy_, gc_);
      XCloseDisplay(dpy_);
    }
  }
  bool ok() const { return dpy_ != nullptr; }
  void Fill(int x, int y, int w, int h, unsigned long rgb) {
    XSetForeground(dpy_, gc_, rgb);
    XFillRectangle(dpy_, DefaultRootWindow(dpy_), gc_, x, y, static_cast<unsigned>(w),
                   static_cast<unsigned>(h));
    XSync(dpy_, False);
  }
  Display* dpy() { return dpy_; }

 private:
  Display* dpy_ = nullptr;
  GC gc_{};
};

class XDisplayTest : public ::testing::Test {
 protected:
  void StartX(const std::vector<std::string>& extra = {}) {
    x_ = std::make_unique<testsupport::Xvfb>(640, 480, 24, extra);
    ASSERT_TRUE(x_->ok());
    setenv("DISPLAY", x_->display().c_str(), 1);
  }
  std::unique_ptr<testsupport::Xvfb> x_;
};

uint32_t PixelAt(const std::vector<uint8_t>& buf, std::size_t stride, int x, int y) {
  const uint8_t* p = buf.data() + static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(x) * 4;
  return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t{p[3]} << 24);
}

void ExpectCaptureOfPainting(ScreenSource& screen) {
  EXPECT_EQ(screen.ClipBox(), (Rect{0, 0, 640, 480}));
  ASSERT_EQ(screen.BitsPerPixel(), 32);
  // Partly off the screen to the left and the bottom.
  const Rect r{-10, 400, 30, 500};
  const std::size_t stride = static_cast<std::size_t>(ScanLineBytes(r.Width(), 32));
  std::vector<uint8_t> buf(stride * static_cast<std::size_t>(r.Height()), 0xEE);
  ASSERT_TRUE(screen.Capture(r, buf.data(), stride));
  struct { int x, y; uint32_t want; } cases[] = {
      {0, 0, 0},                 // (-10, 400): off the screen
      {9, 79, 0},                // (-1, 479)
      {10, 10, 0x00563412},      // (0, 410): painted: bytes blue, green, red, 0
      {39, 30, 0x00000000},      // (29, 430): background
      {15, 79, 0x00563412},      // (5, 479): last row on the screen
      {15, 80, 0},               // (5, 480): below the screen
  };
  for (auto c : cases) EXPECT_EQ(PixelAt(buf, stride, c.x, c.y), c.want) << c.x << "," << c.y;
}

TEST_F(XDisplayTest, CaptureReadsPixelsWithOffScreenPartsZero) {
  StartX();
  Painter p(x_->display());
  ASSERT_TRUE(p.ok());
  p.Fill(0, 0, 640, 480, 0);
  p.Fill(0, 405, 20, 75, 0x563412);  // red 0x56, green 0x34, blue 0x12
  auto screen = OpenX11Screen(x_->display().c_str());
  ASSERT_TRUE(screen);
  ExpectCaptureOfPainting(*screen);
  // A rectangle wholly off the screen reads as zero and is no failure.
  std::vector<uint8_t> buf(400, 0xEE);
  ASSERT_TRUE(screen->Capture(Rect{700, 0, 710, 10}, buf.data(), 40));
  EXPECT_EQ(buf, std::vector<uint8_t>(400, 0));
  int32_t x = -1, y = -1;
  XWarpPointer(p.dpy(), None, DefaultRootWindow(p.dpy()), 0, 0, 0, 0, 123, 45);
  XSync(p.dpy(), False);
  ASSERT_TRUE(screen->PointerPosition(&x, &y));
  EXPECT_EQ(x, 123);
  EXPECT_EQ(y, 45);
}

TEST_F(XDisplayTest, CaptureWithoutSharedMemoryGivesTheSamePixels) {
  StartX({"-extension", "MIT-SHM"});
  Painter p(x_->display());
  ASSERT_TRUE(p.ok());
  p.Fill(0, 0, 640, 480, 0);
  p.Fill(0, 405, 20, 75, 0x563412);
  // The screen says once, through its caller's note, that it reads without shared memory.
  std::vector<std::string> notes;
  auto screen = OpenX11Screen(x_->display().c_str(),
                              [&](const char* text) { notes.push_back(text); });
  ASSERT_TRUE(screen);
  ExpectCaptureOfPainting(*screen);
  EXPECT_EQ(notes, std::vector<std::string>{
                       "No MIT-SHM on the display: the screen is read with XGetImage"});
}

void QueryWindows(Painter& p) {
  Display* d = p.dpy();
  Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 30, 40, 200, 100, 2, 0, 0);
  XSync(d, False);
  WindowQuery* q = X11WindowQuery();
  ASSERT_NE(q, nullptr);
  EXPECT_TRUE(q->Exists(w));
  EXPECT_FALSE(q->Visible(w)) << "not mapped yet";
  XMapWindow(d, w);
  XSync(d, False);
  EXPECT_TRUE(q->Visible(w));
  EXPECT_FALSE(q->Minimised(w));
  Rect r, c;
  ASSERT_TRUE(q->WindowRect(w, r));
  ASSERT_TRUE(q->ClientRect(w, c));
  EXPECT_EQ(r, (Rect{30, 40, 234, 144})) << "the border belongs to the window rectangle";
  EXPECT_EQ(c, (Rect{32, 42, 232, 142}));
  // An iconified client (WM_STATE Iconic) counts as minimised.
  Atom wm_state = XInternAtom(d, "WM_STATE", False);
  long state[2] = {IconicState, 0};
  XChangeProperty(d, w, wm_state, wm_state, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(state), 2);
  XSync(d, False);
  EXPECT_TRUE(q->Minimised(w));
  EXPECT_FALSE(q->Visible(w));
  XDestroyWindow(d, w);
  XSync(d, False);
  EXPECT_FALSE(q->Exists(w)) << "a vanished window is an answer, not a crash";
  EXPECT_FALSE(q->WindowRect(w, r));
}

TEST_F(XDisplayTest, SixteenBitScreenKeepsItsPackedLayout) {
  x_ = std::make_unique<testsupport::Xvfb>(320, 200, 16);
  ASSERT_TRUE(x_->ok());
  Painter p(x_->display());
  ASSERT_TRUE(p.ok());
  p.Fill(0, 0, 320, 200, 0);
  p.Fill(1, 0, 2, 1, 0xF800);  // pure red in 5-6-5
  auto screen = OpenX11Screen(x_->display().c_str());
  ASSERT_TRUE(screen);
  ASSERT_EQ(screen->BitsPerPixel(), 16);
  // 3 pixels: 6 bytes, already 16-bit aligned.
  std::vector<uint8_t> buf(6, 0xEE);
  ASSERT_TRUE(screen->Capture(Rect{0, 0, 3, 1}, buf.data(), 6));
  EXPECT_EQ(buf, (std::vector<uint8_t>{0, 0, 0x00, 0xF8, 0x00, 0xF8}));
}

TEST_F(XDisplayTest, WindowQueriesSeeMappedAndUnmappedWindows) {
  StartX();
  Painter p(x_->display());
  // On a thread of its own, whose connection closes with it before the X server stops.
  std::thread t(QueryWindows, std::ref(p));
  t.join();
}

// Waits for notifications until pred accepts one; returns the time it took, or -1 ms.
template <class Pred>
milliseconds WaitNotification(Pred pred, milliseconds limit) {
  const auto t0 = Clock::now();
  while (Clock::now() - t0 < limit) {
    ThreadMessage m;
    if (WaitThreadMessage(m, 10) == 1 && pred(m))
      return std::chrono::duration_cast<milliseconds>(Clock::now() - t0);
  }
  return milliseconds(-1);
}

Rect Unpack(const ThreadMessage& m) {
  return Rect{static_cast<int32_t>(m.wparam & 0xffff), static_cast<int32_t>((m.wparam >> 16) & 0xffff),
              static_cast<int32_t>(m.lparam & 0xffff), static_cast<int32_t>((m.lparam >> 16) & 0xffff)};
}

TEST_F(XDisplayTest, InstallFailsWithoutDisplayOrDamage) {
  ASSERT_TRUE(EnsureThreadQueue());
  setenv("DISPLAY", ":31999", 1);
  EXPECT_EQ(WM_Hooks_Install(CurrentThreadId(), 0), 0);
  StartX({"-extension", "DAMAGE"});
  EXPECT_EQ(WM_Hooks_Install(CurrentThreadId(), 0), 0);
  WM_Hooks_Remove(CurrentThreadId());
}

TEST_F(XDisplayTest, HooksReportDrawingWindowsAndPointer) {
  StartX();
  Painter p(x_->display());
  ASSERT_TRUE(p.ok());
  ASSERT_TRUE(EnsureThreadQueue());
  const long me = CurrentThreadId();
  ASSERT_NE(WM_Hooks_Install(me, 0), 0);
  EXPECT_EQ(WM_Hooks_Install(me + 1, 0), 0) << "one watched thread per process";
  std::this_thread::sleep_for(milliseconds(100));
  ThreadMessage m;
  while (WaitThreadMessage(m, 50) == 1) {
  }

  p.Fill(10, 10, 50, 50, 0xff0000);
  Region got;
  milliseconds t = WaitNotification(
      [&](const ThreadMessage& n) {
        if (n.message != WM_Hooks_RectangleChanged()) return false;
        got.Union(Unpack(n));
        return got.Contains(Rect{10, 10, 60, 60});
      },
      milliseconds(2000));
  EXPECT_GE(t.count(), 0) << "no rectangle notification covering the drawing";
  EXPECT_LT(t.count(), 200);
  RecordProperty("rectangle_notification_ms", static_cast<int>(t.count()));

  XWarpPointer(p.dpy(), None, DefaultRootWindow(p.dpy()), 0, 0, 0, 0, 300, 200);
  XSync(p.dpy(), False);
  t = WaitNotification([](const ThreadMessage& n) { return n.message == WM_Hooks_CursorChanged(); },
                       milliseconds(2000));
  EXPECT_GE(t.count(), 0) << "no pointer notification after a warp";

  Window w = XCreateSimpleWindow(p.dpy(), DefaultRootWindow(p.dpy()), 100, 100, 50, 50, 0, 0, 0);
  XMapWindow(p.dpy(), w);
  XSync(p.dpy(), False);
  t = WaitNotification(
      [&](const ThreadMessage& n) { return n.message == WM_Hooks_WindowChanged() && n.lparam == w; },
      milliseconds(2000));
  EXPECT_GE(t.count(), 0) << "no window notification for a mapped window";

  WM_Hooks_Remove(me);
  WM_Hooks_Remove(me);  // twice is harmless
  while (WaitThreadMessage(m, 50) == 1) {
  }
  p.Fill(0, 0, 5, 5, 0xffffff);
  EXPECT_EQ(WaitThreadMessage(m, 200), 0) << "nothing is posted after removal";
}

TEST_F(XDisplayTest, HeavyDrawingIsPostedBoundedAndWithoutLoss) {
  StartX();
  Painter p(x_->display());
  ASSERT_TRUE(EnsureThreadQueue());
  const long me = CurrentThreadId();
  ASSERT_NE(WM_Hooks_Install(me, 0), 0);
  std::this_thread::sleep_for(milliseconds(100));
  // The queue is not read while 3000 small rectangles are drawn.
  Region drawn;
  GC gc = XCreateGC(p.dpy(), DefaultRootWindow(p.dpy()), 0, nullptr);
  for (int i = 0; i < 3000; ++i) {
    const int x = (i * 37) % 600, y = (i * 53) % 440;
    XSetForeground(p.dpy(), gc, static_cast<unsigned long>(i) * 2654435761u);
    XFillRectangle(p.dpy(), DefaultRootWindow(p.dpy()), gc, x, y, 7, 5);
    drawn.Union(Rect{x, y, x + 7, y + 5});
  }
  XFreeGC(p.dpy(), gc);
  XSync(p.dpy(), False);
  std::this_thread::sleep_for(milliseconds(300));
  // Now everything drawn must arrive, held back in the library while the queue was full.
  Region got;
  int messages = 0;
  const auto t0 = Clock::now();
  while (Clock::now() - t0 < std::chrono::seconds(5)) {
    ThreadMessage m;
    if (WaitThreadMessage(m, 300) != 1) break;
    ++messages;
    if (m.message == WM_Hooks_RectangleChanged()) got.Union(Unpack(m));
  }
  for (const Rect& r : drawn.Rectangles()) ASSERT_TRUE(got.Contains(r)) << r.left << "," << r.top;
  RecordProperty("messages_for_3000_fills", messages);
  WM_Hooks_Remove(me);
}

}  // namespace

namespace {
// The server's hook thread on the test's display: hooks installed for it, its notifications
// turned into g_dirty_region by the tracker with its own window queries.
class TrackedDisplay {
 public:
  bool Start() {
    enginetest::FreshServerState();
    SetTrackerWindowQuery(nullptr);
    if (!StartThread(HookThread, nullptr, &tid_)) return false;
    if (!WM_Hooks_Install(tid_, 0)) return false;
    std::this_thread::sleep_for(milliseconds(100));
    return true;
  }
  ~TrackedDisplay() {
    if (tid_ == 0) return;
    PostQuitMessage(tid_);
    // The thread's own X connection closes as the thread ends, which must be before the
    // X server does.
    const std::string task = "/proc/self/task/" + std::to_string(tid_);
    testsupport::WaitFor([&] { return access(task.c_str(), F_OK) != 0; }, milliseconds(3000));
  }
  // Waits until the dirty region covers r.
  bool Covers(const Rect& r) {
    return testsupport::WaitFor(
        [&] {
          std::lock_guard<std::mutex> hold(*g_mutex);
          return g_dirty_region->Contains(r);
        },
        milliseconds(3000));
  }

 private:
  long tid_ = 0;
};
}  // namespace

// Drawing and a new window anywhere on a 4K and an 8K root reach the dirty region: the hook
// library's 16-bit packing carries the coordinates, and the tracker's range follows the root.
TEST_F(XDisplayTest, ChangesAnywhereOnLargeScreensAreTracked) {
  struct Case {
    int width, height;
    Rect drawn, window;
  } cases[] = {
      {3840, 2160, {3400, 1900, 3700, 2100}, {3500, 1950, 3800, 2150}},
      {7680, 4320, {7000, 4000, 7680, 4320}, {7300, 4100, 7600, 4300}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    x_ = std::make_unique<testsupport::Xvfb>(c.width, c.height, 24);
    ASSERT_TRUE(x_->ok());
    setenv("DISPLAY", x_->display().c_str(), 1);
    {
      Painter p(x_->display());
      ASSERT_TRUE(p.ok());
      TrackedDisplay tracked;
      ASSERT_TRUE(tracked.Start());
      p.Fill(c.drawn.left, c.drawn.top, static_cast<int>(c.drawn.Width()),
             static_cast<int>(c.drawn.Height()), 0x00ff00);
      EXPECT_TRUE(tracked.Covers(c.drawn)) << "drawing";
      {
        std::lock_guard<std::mutex> hold(*g_mutex);
        g_dirty_region->Clear();
      }
      Window w = XCreateSimpleWindow(p.dpy(), DefaultRootWindow(p.dpy()), c.window.left,
                                     c.window.top, static_cast<unsigned>(c.window.Width()),
                                     static_cast<unsigned>(c.window.Height()), 0, 0, 0);
      XMapWindow(p.dpy(), w);
      XSync(p.dpy(), False);
      EXPECT_TRUE(tracked.Covers(c.window)) << "new window";
    }
    x_.reset();
  }
}

// The screencopy screen source on a private headless sway: the picture it captures against
// grim's screenshot of the output, the damage it reports, and how it fails.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "Common/UpdateHeader.h"
#include "platform/Region.h"
#include "platform/ScreenCopy.h"
#include "tests/support/Sway.h"
#include "tests/support/WaylandPainter.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using testsupport::Screenshot;
using testsupport::SwaySession;
using testsupport::WaitFor;
using testsupport::WaylandPainter;

// Damage as the sink receives it, on the source's thread.
struct DamageLog {
  std::mutex mutex;
  Region region;
  int calls = 0;

  ScreenChangeSink Sink() {
    return ScreenChangeSink{[this](const Rect& r) {
                              std::lock_guard<std::mutex> hold(mutex);
                              region.Union(r);
                              ++calls;
                            },
                            [] {}};
  }
  void Clear() {
    std::lock_guard<std::mutex> hold(mutex);
    region.Clear();
    calls = 0;
  }
  int Calls() {
    std::lock_guard<std::mutex> hold(mutex);
    return calls;
  }
  bool Covers(const Rect& r) {
    std::lock_guard<std::mutex> hold(mutex);
    return region.Contains(r);
  }
  Region Copy() {
    std::lock_guard<std::mutex> hold(mutex);
    return region;
  }
};

std::unique_ptr<ScreenSource> Open(const SwaySession& sway, DamageLog* log,
                                   const char* output = nullptr) {
  ScreencopyOptions o;
  o.display = sway.wayland_socket().c_str();
  o.output = output;
  return OpenScreencopyScreen(o, log ? log->Sink() : ScreenChangeSink{});
}

std::vector<uint8_t> CaptureAll(ScreenSource& screen, std::size_t* stride) {
  const Rect box = screen.ClipBox();
  *stride = static_cast<std::size_t>(ScanLineBytes(box.Width(), 32));
  std::vector<uint8_t> out(*stride * static_cast<std::size_t>(box.Height()), 0xEE);
  if (!screen.Capture(box, out.data(), *stride)) out.clear();
  return out;
}

// Pixels of the capture (B, G, R, 0) that differ from the screenshot (R, G, B); -1 when the
// sizes differ.
long Mismatches(const std::vector<uint8_t>& cap, std::size_t stride, const Screenshot& shot) {
  if (shot.width == 0 || cap.size() != stride * static_cast<std::size_t>(shot.height)) return -1;
  long n = 0;
  for (int y = 0; y < shot.height; ++y)
    for (int x = 0; x < shot.width; ++x) {
      const uint8_t* p = &cap[static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(x) * 4];
      const uint32_t got = (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
      n += got != shot.At(x, y) || p[3] != 0;
    }
  return n;
}

class ScreencopyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sway_ = std::make_unique<SwaySession>();
    ASSERT_TRUE(sway_->ok()) << sway_->error();
  }
  // A client covering the output with pattern seed, and the source watching it.
  void PatternAndOpen(uint32_t seed) {
    painter_ = std::make_unique<WaylandPainter>(sway_->wayland_socket());
    ASSERT_TRUE(painter_->ok());
    ASSERT_TRUE(painter_->Pattern(seed));
    screen_ = Open(*sway_, &log_);
    ASSERT_TRUE(screen_);
  }
  // Destroyed in reverse: the source first, the desktop last.
  std::unique_ptr<SwaySession> sway_;
  std::unique_ptr<WaylandPainter> painter_;
  DamageLog log_;
  std::unique_ptr<ScreenSource> screen_;
};

TEST_F(ScreencopyTest, PictureEqualsScreenshotOfTheOutputBeforeAndAfterDrawing) {
  ASSERT_NO_FATAL_FAILURE(PatternAndOpen(17));
  WaylandPainter& painter = *painter_;
  ScreenSource* screen = screen_.get();
  DamageLog& log = log_;
  EXPECT_EQ(screen->ClipBox(), (Rect{0, 0, 640, 480}));
  EXPECT_EQ(screen->BitsPerPixel(), 32);

  std::size_t stride = 0;
  const auto t0 = Clock::now();
  std::vector<uint8_t> cap = CaptureAll(*screen, &stride);
  const auto capture_us =
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count();
  RecordProperty("capture_640x480_us", static_cast<int>(capture_us));
  EXPECT_EQ(Mismatches(cap, stride, sway_->Grim()), 0);

  // Drawn areas arrive as damage; the picture then holds them.
  log.Clear();
  const Rect drawn{100, 50, 260, 130};
  const auto t1 = Clock::now();
  ASSERT_TRUE(painter.Fill(drawn.left, drawn.top, 160, 80, 0x563412));
  ASSERT_TRUE(WaitFor([&] { return log.Covers(drawn); }, milliseconds(3000)));
  RecordProperty("fill_to_damage_ms", static_cast<int>(
      std::chrono::duration_cast<milliseconds>(Clock::now() - t1).count()));
  cap = CaptureAll(*screen, &stride);
  EXPECT_EQ(Mismatches(cap, stride, sway_->Grim()), 0);
  // red 0x56, green 0x34, blue 0x12 as bytes blue, green, red, 0.
  const uint8_t* p = &cap[60 * stride + 110 * 4];
  EXPECT_EQ((std::vector<uint8_t>{p, p + 4}), (std::vector<uint8_t>{0x12, 0x34, 0x56, 0}));
}

// Composited (a tiled window) and scanned out (a full-screen one: sway then commits the
// client's buffer without damage, which wlroots reports as the whole output each frame).
void ExpectDamageOfDrawingOnly(const SwaySession& sway, bool full_screen) {
  WaylandPainter painter(sway.wayland_socket(), 640, 480, full_screen);
  ASSERT_TRUE(painter.ok());
  DamageLog log;
  auto screen = Open(sway, &log);
  ASSERT_TRUE(screen);
  // The first picture may report the whole output; after it the output is quiet.
  std::this_thread::sleep_for(milliseconds(300));
  log.Clear();
  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  std::this_thread::sleep_for(milliseconds(1000));
  rusage after{};
  getrusage(RUSAGE_SELF, &after);
  EXPECT_EQ(log.Calls(), 0) << "damage reported while nothing changed";
  const long cpu_us = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) * 1000000L +
                      (after.ru_utime.tv_usec - before.ru_utime.tv_usec) +
                      (after.ru_stime.tv_sec - before.ru_stime.tv_sec) * 1000000L +
                      (after.ru_stime.tv_usec - before.ru_stime.tv_usec);
  ::testing::Test::RecordProperty(full_screen ? "idle_cpu_us_per_s_scanout" : "idle_cpu_us_per_s",
                                  static_cast<int>(cpu_us));

  // Small fills in two corners: each is reported, and the damage stays near them.
  struct { Rect r; uint32_t rgb; } fills[] = {
      {{0, 0, 1, 1}, 0xFF0000},          // one pixel at the origin
      {{639, 479, 640, 480}, 0x00FF00},  // the last pixel of the output
      {{300, 200, 340, 230}, 0x0000FF},
  };
  for (const auto& f : fills) {
    log.Clear();
    ASSERT_TRUE(painter.Fill(f.r.left, f.r.top, static_cast<int>(f.r.Width()),
                             static_cast<int>(f.r.Height()), f.rgb));
    EXPECT_TRUE(WaitFor([&] { return log.Covers(f.r); }, milliseconds(3000)))
        << f.r.left << "," << f.r.top;
    // Not the whole output: well under half of it for a fill of at most 1200 pixels.
    const Region got = log.Copy();
    long area = 0;
    for (const Rect& r : got.Rectangles()) area += r.Width() * r.Height();
    EXPECT_LT(area, 640 * 480 / 2) << "damage of a small fill covers most of the output";
  }
  std::this_thread::sleep_for(milliseconds(300));
  log.Clear();
  std::this_thread::sleep_for(milliseconds(700));
  EXPECT_EQ(log.Calls(), 0) << "damage kept coming after the drawing stopped";
}

TEST_F(ScreencopyTest, DamageCoversWhatChangedAndStopsWhileNothingChanges) {
  ExpectDamageOfDrawingOnly(*sway_, false);
}

TEST_F(ScreencopyTest, ScannedOutFullScreenClientIsReportedOnlyWhereItChanged) {
  ExpectDamageOfDrawingOnly(*sway_, true);
}

TEST_F(ScreencopyTest, EdgesOfTheOutputReadAsZeroAndRowsArePadded) {
  WaylandPainter painter(sway_->wayland_socket());
  ASSERT_TRUE(painter.ok());
  ASSERT_TRUE(painter.Fill(0, 0, 640, 480, 0xC0B0A0));
  auto screen = Open(*sway_, nullptr);
  ASSERT_TRUE(screen);
  const uint32_t kPixel = 0x00C0B0A0;  // little-endian B, G, R, 0
  struct {
    Rect r;
    int x, y;  // pixel of r (relative) to look at
    uint32_t want;
  } cases[] = {
      {{-1, 0, 2, 1}, 0, 0, 0},         // x = -1: one left of the output
      {{-1, 0, 2, 1}, 1, 0, kPixel},    // x = 0
      {{638, 0, 641, 1}, 1, 0, kPixel}, // x = 639: the last column
      {{638, 0, 641, 1}, 2, 0, 0},      // x = 640: one past it
      {{0, -1, 1, 1}, 0, 0, 0},         // y = -1
      {{0, 479, 1, 481}, 0, 0, kPixel}, // y = 479
      {{0, 479, 1, 481}, 0, 1, 0},      // y = 480
      {{700, 500, 703, 502}, 2, 1, 0},  // wholly off the output: no failure, all zero
  };
  for (const auto& c : cases) {
    // Three pixels need 12 bytes; 6 more show that padding is written as zero.
    const std::size_t stride = static_cast<std::size_t>(c.r.Width()) * 4 + 6;
    std::vector<uint8_t> out(stride * static_cast<std::size_t>(c.r.Height()), 0xEE);
    ASSERT_TRUE(screen->Capture(c.r, out.data(), stride));
    uint32_t got;
    std::memcpy(&got, &out[static_cast<std::size_t>(c.y) * stride + static_cast<std::size_t>(c.x) * 4], 4);
    EXPECT_EQ(got, c.want) << "rect " << c.r.left << "," << c.r.top << " pixel " << c.x << "," << c.y;
    for (std::size_t row = 0; row < static_cast<std::size_t>(c.r.Height()); ++row)
      for (std::size_t i = static_cast<std::size_t>(c.r.Width()) * 4; i < stride; ++i)
        EXPECT_EQ(out[row * stride + i], 0) << "padding byte " << i << " of row " << row;
  }
  EXPECT_TRUE(screen->Capture(Rect{5, 5, 5, 9}, nullptr, 0)) << "an empty rectangle is no work";
  int32_t x, y;
  EXPECT_FALSE(screen->PointerPosition(&x, &y)) << "wlroots gives clients no pointer position";
}

TEST_F(ScreencopyTest, FollowsAChangeOfTheOutputMode) {
  ASSERT_NO_FATAL_FAILURE(PatternAndOpen(3));
  ScreenSource* screen = screen_.get();
  DamageLog& log = log_;
  ASSERT_EQ(sway_->Swaymsg("output HEADLESS-1 resolution 800x600"), 0);
  ASSERT_TRUE(WaitFor([&] { return screen->ClipBox() == Rect{0, 0, 800, 600}; },
                      milliseconds(3000)));
  EXPECT_TRUE(WaitFor([&] { return log.Covers(Rect{0, 0, 800, 600}); }, milliseconds(3000)))
      << "the new area was not reported";
  std::size_t stride = 0;
  // The picture may still settle (the client redraws at the new size): compare until equal.
  long diff = -1;
  WaitFor([&] {
    std::vector<uint8_t> cap = CaptureAll(*screen, &stride);
    diff = Mismatches(cap, stride, sway_->Grim());
    return diff == 0;
  }, milliseconds(3000));
  EXPECT_EQ(diff, 0);
}

TEST_F(ScreencopyTest, OpenFailsWithoutCompositorScreencopyOrOutput) {
  ScreencopyOptions o;
  const std::string missing = sway_->runtime_dir() + "/wayland-nothing";
  o.display = missing.c_str();
  EXPECT_EQ(OpenScreencopyScreen(o, {}), nullptr) << "no compositor at that socket";
  EXPECT_EQ(Open(*sway_, nullptr, "HEADLESS-9"), nullptr) << "no such output";
  EXPECT_NE(Open(*sway_, nullptr, "HEADLESS-1"), nullptr) << "the output by its name";
}

TEST_F(ScreencopyTest, CaptureFailsOnceTheCompositorIsGone) {
  WaylandPainter painter(sway_->wayland_socket());
  ASSERT_TRUE(painter.ok());
  DamageLog log;
  auto screen = Open(*sway_, &log);
  ASSERT_TRUE(screen);
  std::vector<uint8_t> out(40 * 10, 0);
  ASSERT_TRUE(screen->Capture(Rect{0, 0, 10, 10}, out.data(), 40));
  sway_->Kill();
  EXPECT_TRUE(WaitFor([&] { return !screen->Capture(Rect{0, 0, 10, 10}, out.data(), 40); },
                      milliseconds(3000)));
  const auto t0 = Clock::now();
  screen.reset();
  EXPECT_LT(Clock::now() - t0, milliseconds(1000)) << "closing waits for nothing";
}

TEST_F(ScreencopyTest, ClosingWhileWaitingForDamageIsPrompt) {
  DamageLog log;
  auto screen = Open(*sway_, &log);
  ASSERT_TRUE(screen);
  std::this_thread::sleep_for(milliseconds(200));  // the watcher now waits for damage
  const auto t0 = Clock::now();
  screen.reset();
  EXPECT_LT(Clock::now() - t0, milliseconds(500));
}

}  // namespace

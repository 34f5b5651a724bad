// glimt as a native Wayland client on a private headless sway, at one pixel per pixel,
// showing the screen of an X11 varno on an Xvfb display: the compositor's output (grim)
// must be the server's screen, with the server's pointer drawn where it is. Both programs run
// in the test's private network namespace.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "glimt/PointerArrow.h"
#include "tests/support/Display.h"
#include "tests/support/Sway.h"

namespace {

using std::chrono::milliseconds;
using testsupport::Screenshot;
using testsupport::Shell;
using testsupport::WaitFor;

constexpr int kWidth = 640, kHeight = 480;

// The server's screen as the viewer should show it at client size cw x ch (1:1 here or
// reduced): with the arrow's tip at client (tx, ty), its outline black and its fill white.
// tx < 0: no arrow.
Screenshot WithArrow(Screenshot shot, int tx, int ty) {
  if (tx < 0) return shot;
  for (int y = 0; y < PointerArrow::kHeight; ++y)
    for (int x = 0; x < PointerArrow::kWidth; ++x) {
      const char c = PointerArrow::kShape[y][x];
      if (c == '.' || tx + x >= shot.width || ty + y >= shot.height) continue;
      const std::size_t at = (static_cast<std::size_t>(ty + y) * shot.width + tx + x) * 3;
      shot.rgb.replace(at, 3, 3, c == 'X' ? '\0' : '\xff');
    }
  return shot;
}

// Pixels of the arrow with its tip at (tx, ty) that the shot does not show (outline black,
// fill white; cut at the shot's edges).
long ArrowAt(const Screenshot& shot, int tx, int ty) {
  long missing = 0;
  for (int y = 0; y < PointerArrow::kHeight && ty + y < shot.height; ++y)
    for (int x = 0; x < PointerArrow::kWidth && tx + x < shot.width; ++x) {
      const char c = PointerArrow::kShape[y][x];
      if (c != '.') missing += shot.At(tx + x, ty + y) != (c == 'X' ? 0x000000u : 0xFFFFFFu);
    }
  return missing;
}

// Pixels of a and b that differ outside the rectangle (l, t, r, b); -1 when the sizes differ.
long DifferencesOutside(const Screenshot& a, const Screenshot& b, int l, int t, int r, int bm) {
  if (a.width != b.width || a.height != b.height || a.width == 0) return -1;
  long n = 0;
  for (int y = 0; y < a.height; ++y)
    for (int x = 0; x < a.width; ++x)
      n += (x < l || x >= r || y < t || y >= bm) && a.At(x, y) != b.At(x, y);
  return n;
}

// The parameter: full screen, or framed (sway tiles the only window over the whole output and
// the test desktop draws no borders, so it is 1:1 too, placed by the compositor).
class GlimtOnWayland : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { REQUIRE_PRIVATE_NETWORK(); }
  std::string Log() {
    return Shell("cat '" + logs_.path() + "'/*.out '" + logs_.path() + "'/*.log 2>/dev/null");
  }
  // Moves the server's pointer; the server sends it at its next pointer tick.
  void MovePointer(const testsupport::Xvfb& x, int px, int py) {
    Shell("DISPLAY=" + x.display() + " xdotool mousemove " + std::to_string(px) + " " +
          std::to_string(py));
  }
  testsupport::TempDir logs_;
};

INSTANTIATE_TEST_SUITE_P(Window, GlimtOnWayland, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "FullScreen" : "Framed"; });

TEST_P(GlimtOnWayland, ShowsTheX11ServerPixelForPixelWithItsPointerDrawn) {
  testsupport::SwaySession sway({kWidth, kHeight, /*bar=*/false, /*pipewire=*/false});
  ASSERT_TRUE(sway.ok()) << sway.error();
  testsupport::Xvfb x(kWidth, kHeight, 24);
  ASSERT_TRUE(x.ok());
  ASSERT_TRUE(testsupport::DrawTerminals(x.display(), 3));
  testsupport::Trayer tray(x);
  ASSERT_TRUE(tray.ok());
  const std::string registry = "ORVANE_REGISTRY=" + (logs_ / "registry");
  // The programs copied, so that each writes its log into the test's folder.
  ASSERT_TRUE(testsupport::InstallVarno(logs_.path()));
  ASSERT_EQ(testsupport::Run("cp '" + testsupport::BinDir() + "/glimt' '" + logs_.path() + "/'"),
            0);
  std::vector<std::string> asan;
  // Full stacks under AddressSanitizer, so that what Qt's wayland plugin keeps for the life
  // of the process is matched by its suppression.
  if (const char* a = std::getenv("ASAN_OPTIONS"))
    asan.push_back(std::string("ASAN_OPTIONS=") + a + ":fast_unwind_on_malloc=0");
  std::vector<std::string> server_env = {"DISPLAY=" + x.display(), "XDG_SESSION_TYPE=x11",
                                         "WAYLAND_DISPLAY=", registry};
  server_env.insert(server_env.end(), asan.begin(), asan.end());
  testsupport::Child varno({logs_ / "varno"}, server_env, logs_ / "varno.out");
  ASSERT_TRUE(WaitFor([] { return Shell("ss -ltnH 'sport = :10510' | wc -l") == "1"; },
                      milliseconds(10000)))
      << Log();

  // A Wayland session as a user's: no X display, no platform named; glimt chooses itself.
  std::vector<std::string> viewer_env = sway.ClientEnv();
  viewer_env.insert(viewer_env.end(),
                    {"XDG_SESSION_TYPE=wayland", "DISPLAY=", "QT_QPA_PLATFORM=", registry});
  viewer_env.insert(viewer_env.end(), asan.begin(), asan.end());
  std::vector<std::string> args = {logs_ / "glimt", "127.0.0.1"};
  if (GetParam()) args.push_back("fullscreen");
  testsupport::Child glimt(args, viewer_env, logs_ / "glimt.out");

  // (1) After the first refresh: the output is the server's screen, pixel for pixel, apart
  // from the arrow's rectangle where the server's pointer is (drawn once it has moved).
  int px = -1, py = -1;
  ASSERT_EQ(std::sscanf(Shell("DISPLAY=" + x.display() + " xdotool getmouselocation").c_str(),
                        "x:%d y:%d", &px, &py), 2);
  // The server's screen is grabbed afresh each time: its tray icon may come late.
  const auto server = [&] { return testsupport::GrabExact(x.display()); };
  long diff = -1;
  EXPECT_TRUE(WaitFor([&] {
    diff = DifferencesOutside(sway.Grim(), server(), px, py, px + PointerArrow::kWidth,
                              py + PointerArrow::kHeight);
    return diff == 0;
  }, milliseconds(10000)))
      << diff << " pixels differ from the server's screen\n" << Log();
  EXPECT_NE(Log().find("the server's pointer is drawn into the picture"), std::string::npos)
      << "glimt did not run as a Wayland client\n" << Log();

  // (2) The arrow follows the server's pointer: the whole output is the server's screen with
  // the arrow at the pointer, and nothing of it is left where it was. The last pixel of the
  // screen leaves only the arrow's tip.
  const struct { int x, y; } moves[] = {{100, 80}, {400, 300}, {kWidth - 1, kHeight - 1}, {0, 0}};
  for (const auto& m : moves) {
    SCOPED_TRACE(testing::Message() << "pointer at " << m.x << ", " << m.y);
    MovePointer(x, m.x, m.y);
    EXPECT_TRUE(WaitFor([&] {
      return (diff = testsupport::Differences(sway.Grim(), WithArrow(server(), m.x, m.y))) == 0;
    }, milliseconds(5000)))
        << diff << " pixels differ from the server's screen with the arrow drawn\n" << Log();
  }

  // (3) Reduced: the output at half the server's size, and the arrow at the scaled position
  // (the picture itself is smoothed there, so only the arrow's own pixels are exact).
  ASSERT_EQ(sway.Swaymsg("output HEADLESS-1 resolution " + std::to_string(kWidth / 2) + "x" +
                         std::to_string(kHeight / 2)), 0);
  const struct { int x, y; } reduced[] = {{301, 203}, {kWidth - 1, 0}};
  for (const auto& m : reduced) {
    SCOPED_TRACE(testing::Message() << "reduced, pointer at " << m.x << ", " << m.y);
    MovePointer(x, m.x, m.y);
    EXPECT_TRUE(WaitFor([&] {
      const Screenshot shot = sway.Grim();
      return shot.width == kWidth / 2 && ArrowAt(shot, m.x / 2, m.y / 2) == 0;
    }, milliseconds(5000))) << Log();
  }
  EXPECT_GT(ArrowAt(sway.Grim(), reduced[0].x / 2, reduced[0].y / 2), 0)
      << "the arrow stayed where the pointer was";

  glimt.Kill(SIGTERM);
  int status = -1;
  EXPECT_TRUE(glimt.Wait(milliseconds(5000), &status));
  EXPECT_EQ(status, 0) << Log();
}

}  // namespace

// The server's pointer drawn where the local one cannot follow it: where the arrow goes at
// scaled sizes, what a move repaints, and which window systems get the arrow at all.
#include "glimt/PointerArrow.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>

#include "glimt/WindowSystem.h"

// Found by argument lookup from GoogleTest's templates, hence outside the unnamed namespace.
static std::ostream& operator<<(std::ostream& out, const AreaRect& r) {
  return out << "(" << r.left << ", " << r.top << ", " << r.right << ", " << r.bottom << ")";
}
static bool operator==(const AreaRect& a, const AreaRect& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

namespace {

constexpr int W = PointerArrow::kWidth, H = PointerArrow::kHeight;
static_assert(W == 12 && H == 19, "the edge cases below are written for a 12 x 19 arrow");
const AreaRect kNone{};

TEST(PointerArrowTest, TipAtTheScaledPointCutToTheClientHiddenOutsideTheArea) {
  for (const char* row : PointerArrow::kShape) ASSERT_EQ(std::strlen(row), std::size_t{W});
  const AreaRect screen{0, 0, 640, 480}, hd{0, 0, 1920, 1080}, small{0, 0, 320, 240};
  const AreaRect offset{100, 50, 740, 530};  // a clipped broadcast area
  struct {
    const char* what;
    AreaRect area;
    int cw, ch, x, y;
    AreaRect want;
  } cases[] = {
      {"1:1 origin", screen, 640, 480, 0, 0, {0, 0, W, H}},
      {"1:1 last pixel: the tip alone", screen, 640, 480, 639, 479, {639, 479, 640, 480}},
      // The arrow's far corner exactly at the client's, one pixel inside, one pixel past.
      {"1:1 ends at the edge", screen, 640, 480, 628, 461, {628, 461, 640, 480}},
      {"1:1 one short of it", screen, 640, 480, 627, 460, {627, 460, 639, 479}},
      {"1:1 one past it: cut", screen, 640, 480, 629, 462, {629, 462, 640, 480}},
      {"left of the area", screen, 640, 480, -1, 10, kNone},
      {"above the area", screen, 640, 480, 10, -1, kNone},
      {"right edge is exclusive", screen, 640, 480, 640, 10, kNone},
      {"bottom edge is exclusive", screen, 640, 480, 10, 480, kNone},
      {"reduced 1920 to 1280: truncated", hd, 1280, 720, 3, 3, {2, 2, 2 + W, 2 + H}},
      {"reduced: less than a client pixel", hd, 1280, 720, 1, 1, {0, 0, W, H}},
      {"reduced: last pixel", hd, 1280, 720, 1919, 1079, {1279, 719, 1280, 720}},
      {"enlarged: a pixel's first client pixel", small, 640, 480, 319, 239, {638, 478, 640, 480}},
      {"offset area: its corner is the client's", offset, 640, 480, 100, 50, {0, 0, W, H}},
      {"offset area: one left of it", offset, 640, 480, 99, 50, kNone},
      {"offset area: last pixel", offset, 640, 480, 739, 529, {639, 479, 640, 480}},
      {"offset area: origin of the screen", offset, 640, 480, 0, 0, kNone},
      {"no client area", screen, 0, 0, 10, 10, kNone},
      {"no client height", screen, 640, 0, 10, 10, kNone},
  };
  for (const auto& c : cases)
    EXPECT_EQ(PointerArrow::Place(c.area, c.cw, c.ch, c.x, c.y), c.want) << c.what;
}

// Each move repaints where the arrow was and where it goes, at the window's size then.
TEST(PointerArrowTest, AMoveRepaintsTheOldAndTheNewRectangleOnly) {
  const AreaRect area{0, 0, 640, 480};
  struct {
    const char* what;
    int cw, ch, x, y;
    AreaRect was, now;
  } steps[] = {
      {"first position: nothing drawn before", 640, 480, 10, 10, kNone, {10, 10, 10 + W, 10 + H}},
      {"a move", 640, 480, 100, 50, {10, 10, 10 + W, 10 + H}, {100, 50, 100 + W, 50 + H}},
      {"the same place: nothing", 640, 480, 100, 50, kNone, kNone},
      // The window was halved meanwhile: where the arrow is now drawn counts as its place.
      {"within the same client pixel", 320, 240, 101, 51, kNone, kNone},
      {"a move when reduced", 320, 240, 200, 100, {50, 25, 50 + W, 25 + H},
       {100, 50, 100 + W, 50 + H}},
      {"out of the area: only the old", 320, 240, -5, 10, {100, 50, 100 + W, 50 + H}, kNone},
      {"still out: nothing", 320, 240, 700, 10, kNone, kNone},
      {"back at the last pixel", 320, 240, 639, 479, kNone, {319, 239, 320, 240}},
      {"to the origin", 320, 240, 0, 0, {319, 239, 320, 240}, {0, 0, W, H}},
  };
  PointerArrow arrow;
  EXPECT_EQ(arrow.Where(area, 640, 480), kNone) << "no arrow before the first position";
  for (const auto& s : steps) {
    SCOPED_TRACE(s.what);
    const PointerArrow::Repaint r = arrow.MoveTo(area, s.cw, s.ch, s.x, s.y);
    EXPECT_EQ(r.was, s.was);
    EXPECT_EQ(r.now, s.now);
    EXPECT_EQ(arrow.Where(area, s.cw, s.ch), PointerArrow::Place(area, s.cw, s.ch, s.x, s.y));
  }
}

// Only X11 lets a client move the pointer; only Wayland places the windows itself.
TEST(WindowSystemTest, RulesByThePlatformsName) {
  struct {
    const char* name;
    bool warps, places;
  } cases[] = {
      {"xcb", true, true},        {"wayland", false, false}, {"wayland-egl", false, false},
      {"offscreen", false, true}, {"xcbx", false, true},     {"", false, true},
      {nullptr, false, true},
  };
  for (const auto& c : cases) {
    const WindowSystemRules r = RulesFor(c.name);
    EXPECT_EQ(r.warps_pointer, c.warps) << (c.name ? c.name : "(null)");
    EXPECT_EQ(r.places_windows, c.places) << (c.name ? c.name : "(null)");
  }
}

// A platform the user named decides when it is X11 or Wayland; otherwise the session does.
TEST(WindowSystemTest, ANamedPlatformBeforeTheSession) {
  struct {
    const char* qt_platform;
    bool session_wayland, want, session_asked;
  } cases[] = {
      {"wayland-egl", false, true, false}, {"wayland;xcb", false, true, false},
      {"xcb;wayland", true, false, false}, {"offscreen", true, true, true},
      {"", false, false, true},            {nullptr, true, true, true},
  };
  for (const auto& c : cases) {
    bool asked = false;
    EXPECT_EQ(RunsOnWayland(c.qt_platform, [&] { return asked = true, c.session_wayland; }),
              c.want)
        << (c.qt_platform ? c.qt_platform : "(null)");
    EXPECT_EQ(asked, c.session_asked) << (c.qt_platform ? c.qt_platform : "(null)");
  }
}

}  // namespace

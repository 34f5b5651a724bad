// Which screen source the server takes: the ScreenSource setting first, then the session,
// then what the compositor offers.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/Screen.h"
#include "platform/Session.h"

namespace {

TEST(ScreenChoice, SettingThenSessionThenDisplaysThenCompositor) {
  const auto X = ScreenKind::kX11, S = ScreenKind::kScreencopy, P = ScreenKind::kPortal;
  struct {
    const char* setting;
    const char* session;
    bool wayland, x11, screencopy;
    ScreenKind want;
  } cases[] = {
      // The setting wins over everything, in any case.
      {"x11", "wayland", true, false, true, X},
      {"Screencopy", "x11", false, true, false, S},  // fails later, with its own log line
      {"PORTAL", nullptr, false, true, true, P},
      // Empty or unknown: the session decides.
      {"", "wayland", false, true, true, S},     // XWayland's DISPLAY would read black
      {"vnc", "wayland", true, true, true, S},
      {"", "wayland", true, true, false, P},     // GNOME, KDE: no screencopy
      {nullptr, "x11", true, false, false, X},
      {"", "X11", true, true, true, X},
      // No usable session type: a Wayland display counts only without a usable X one.
      {"", nullptr, true, false, true, S},
      {"", nullptr, true, false, false, P},
      {"", nullptr, true, true, false, X},
      {"", "tty", true, false, true, S},
      {"", "", false, false, false, X},          // nothing at all: X11 reports the missing desktop
  };
  for (const auto& c : cases)
    EXPECT_EQ(ChooseScreenKind(c.setting, c.session, c.wayland, c.x11, c.screencopy), c.want)
        << (c.setting ? c.setting : "(null)") << " / " << (c.session ? c.session : "(null)")
        << " wayland " << c.wayland << " x11 " << c.x11 << " screencopy " << c.screencopy;
}

// The session read from the environment: the X display is opened only when the answer
// depends on it (it may be slow, or not there at all).
TEST(ScreenChoice, TheEnvironmentsSessionAsksForXOnlyWhenItMatters) {
  struct {
    const char* session;  // nullptr: unset
    const char* wayland;
    bool x11, want, x_asked;
  } cases[] = {
      {"wayland", nullptr, true, true, false},
      {"x11", "wayland-0", false, false, false},
      {nullptr, "wayland-0", true, false, true},
      {"tty", "/run/user/1000/wayland-1", false, true, true},
      {nullptr, "", false, false, false},  // an empty WAYLAND_DISPLAY is none
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.session ? c.session : "(unset)") << " / "
                                    << (c.wayland ? c.wayland : "(unset)") << " x11 " << c.x11);
    if (c.session) setenv("XDG_SESSION_TYPE", c.session, 1);
    else unsetenv("XDG_SESSION_TYPE");
    if (c.wayland) setenv("WAYLAND_DISPLAY", c.wayland, 1);
    else unsetenv("WAYLAND_DISPLAY");
    bool asked = false;
    EXPECT_EQ(InWaylandSession([&] { return asked = true, c.x11; }), c.want);
    EXPECT_EQ(asked, c.x_asked);
  }
  unsetenv("XDG_SESSION_TYPE");
  unsetenv("WAYLAND_DISPLAY");
}

}  // namespace

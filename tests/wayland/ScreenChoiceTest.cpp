// Which screen source the server takes: the ScreenSource setting first, then the session.
#include <gtest/gtest.h>

#include "platform/Screen.h"

namespace {

TEST(ScreenChoice, SettingThenSessionThenDisplays) {
  const auto X = ScreenKind::kX11, S = ScreenKind::kScreencopy, P = ScreenKind::kPortal;
  struct {
    const char* setting;
    const char* session;
    bool wayland, x11;
    ScreenKind want;
  } cases[] = {
      // The setting wins over everything, in any case.
      {"x11", "wayland", true, false, X},
      {"Screencopy", "x11", false, true, S},
      {"PORTAL", nullptr, false, true, P},
      // Empty or unknown: the session decides.
      {"", "wayland", false, true, S},     // XWayland's DISPLAY would read black
      {"vnc", "wayland", true, true, S},
      {nullptr, "x11", true, false, X},
      {"", "X11", true, true, X},
      // No usable session type: a Wayland display counts only without a usable X one.
      {"", nullptr, true, false, S},
      {"", nullptr, true, true, X},
      {"", "tty", true, false, S},
      {"", "", false, false, X},          // nothing at all: X11 reports the missing desktop
  };
  for (const auto& c : cases)
    EXPECT_EQ(ChooseScreenKind(c.setting, c.session, c.wayland, c.x11), c.want)
        << (c.setting ? c.setting : "(null)") << " / " << (c.session ? c.session : "(null)")
        << " wayland " << c.wayland << " x11 " << c.x11;
}

}  // namespace

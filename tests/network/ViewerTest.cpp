// The real glimt on its own display, reading the real varno across the test networks: behind
// a 100 Mbit/s switch port a photo-like full refresh arrives whole; a viewer started with a
// group address (asking nobody) shows the picture without anyone asking.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>

#include "Common/Registry.h"
#include "tests/hardening/Harness.h"
#include "tests/support/NetTopology.h"
#include "tests/support/ScreenContent.h"

using namespace std::chrono_literals;
using hardening::Clock;
using hardening::MsSince;
using hardening::Server;
using hardening::ServerSetting;
using testsupport::PixelsDiffering;
using testsupport::RootPixels;
using testsupport::ServerLink;
using testsupport::TempDir;
using testsupport::WaitFor;
using testsupport::Xvfb;

namespace {

long Differ(const Xvfb& a, const Xvfb& b, int w, int h) {
  return PixelsDiffering(RootPixels(a.display(), w, h), RootPixels(b.display(), w, h));
}

TEST(Viewer, PhotoRefreshArrivesWholeInGlimtBehindA100MbitPort) {
  REQUIRE_PRIVATE_NETWORK();
  const auto start = Clock::now();
  Xvfb sx(1920, 1080, 24), vx(1920, 1080, 24);
  ASSERT_TRUE(sx.ok() && vx.ok());
  hardening::Trayer trayer(sx);
  ASSERT_TRUE(trayer.ok());
  ServerLink link(true);
  ASSERT_TRUE(link.ok()) << link.error();
  ASSERT_TRUE(link.LimitPort("100mbit", 5000, 256 * 1024));
  TempDir dir;
  ASSERT_TRUE(ServerSetting(dir, "RefreshCycle", 0));  // the refresh alone must do it
  ASSERT_TRUE(testsupport::DrawPhotoScreen(sx.display(), 1920, 1080));
  Server server(sx, dir, link.server().Prefix());
  ASSERT_TRUE(hardening::WaitForService(ServerLink::kServerAddress, 15s)) << server.Log();
  std::this_thread::sleep_for(1500ms);  // the server's own first refresh has gone by
  // The viewer asks for the group and for a full refresh.
  const auto asked = Clock::now();
  auto viewer = hardening::StartViewer(vx, dir, {ServerLink::kServerAddress});
  long wrong = -1;
  const bool whole = WaitFor([&] { return (wrong = Differ(sx, vx, 1920, 1080)) == 0; }, 10s);
  std::printf("[measure] glimt behind a 100 Mbit/s port: %s after %.0f ms (%ld pixels wrong), "
              "port drops %ld; case %.1f s\n", whole ? "whole" : "not whole", MsSince(asked),
              wrong, link.PortDrops(), MsSince(start) / 1000);
  EXPECT_EQ(link.PortDrops(), 0);
  EXPECT_TRUE(viewer->running());
  // A sanitized glimt decodes several times slower than a paced refresh arrives, and what its
  // socket cannot hold is lost for good here (no healing): reported, not asserted.
  if (!hardening::kSanitizedBuild) {
    EXPECT_TRUE(whole) << wrong << " pixels differ";
  }
}

// A viewer given a group in its connection dialog asks nobody for anything: the area the
// server repeats every second shows its picture, and the healing cycle fills it in.
TEST(Viewer, StartedWithAGroupAddressShowsThePictureWithoutAnyoneAsking) {
  REQUIRE_PRIVATE_NETWORK();
  Xvfb sx(640, 480, 24), vx(640, 480, 24);
  ASSERT_TRUE(sx.ok() && vx.ok());
  hardening::Trayer trayer(sx);
  ASSERT_TRUE(trayer.ok());
  ServerLink link(false);
  ASSERT_TRUE(link.ok()) << link.error();
  TempDir dir;
  constexpr uint32_t kCycle = 4;
  ASSERT_TRUE(ServerSetting(dir, "RefreshCycle", kCycle));
  ASSERT_TRUE(testsupport::DrawTextScreen(sx.display(), 640, 480));
  Server server(sx, dir, link.server().Prefix());
  ASSERT_TRUE(hardening::WaitForService(ServerLink::kServerAddress, 15s)) << server.Log();
  setenv("ORVANE_REGISTRY", (dir / "vreg").c_str(), 1);
  ASSERT_TRUE(SetSettingDword("Type", 1, "Parameters"));
  ASSERT_TRUE(SetSettingString("Address", "227.0.1.1:10510", "Parameters"));
  unsetenv("ORVANE_REGISTRY");
  std::this_thread::sleep_for(1500ms);  // the server's own first refresh has gone by
  auto viewer = hardening::StartViewer(vx, dir, {});
  std::string dialog;
  ASSERT_TRUE(WaitFor([&] { return !(dialog = testsupport::VisibleWindow(vx.display(), "Orvane GLIMT")).empty(); }, 10s));
  testsupport::KeyInto(vx.display(), "Orvane GLIMT", "Return");
  const auto started = Clock::now();
  std::string window;
  const bool shown = WaitFor([&] {
    window = testsupport::VisibleWindow(vx.display(), "Orvane GLIMT");
    return !window.empty() && window != dialog;
  }, 5s);
  const double shown_ms = MsSince(started);
  long wrong = -1;
  const bool whole = WaitFor([&] { return (wrong = Differ(sx, vx, 640, 480)) == 0; },
                             std::chrono::seconds(kCycle + 2) - std::chrono::milliseconds(static_cast<long>(shown_ms)));
  std::printf("[measure] glimt with a group address: picture shown after %.0f ms, whole after "
              "%.0f ms (cycle %u s)\n", shown_ms, MsSince(started), kCycle);
  EXPECT_TRUE(shown) << "the viewer's window never appeared";
  // A sanitized glimt takes longer only to start.
  EXPECT_LE(shown_ms, hardening::kSanitizedBuild ? 4000 : 2000);
  EXPECT_TRUE(whole) << wrong << " pixels differ";
}

}  // namespace

// The real varno and glimt on two (or three) Xvfb displays in a private network namespace:
// what the viewer's screen shows is compared with a capture of the server's.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include "Common/Registry.h"
#include "tests/support/Display.h"
#include "tests/support/TestSupport.h"

using namespace std::chrono_literals;
using testsupport::Child;
using testsupport::Shell;
using testsupport::TempDir;
using testsupport::WaitFor;
using testsupport::Xvfb;

namespace {

// Sanitizer builds: leaks of system libraries are not the programs' own.
std::string LsanOptions() {
  return "LSAN_OPTIONS=suppressions=" + testsupport::SourceDir() + "/tests/glimt/lsan.supp";
}

class ViewerEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_NETWORK();
    setenv("ORVANE_REGISTRY", registry_.path().c_str(), 1);
  }
  std::vector<std::string> Env(const Xvfb& x) {
    return {"DISPLAY=" + x.display(), "ORVANE_REGISTRY=" + registry_.path(), LsanOptions()};
  }
  // A tray host and the server on x; true once the server's rendezvous port answers.
  bool StartServer(const Xvfb& x) {
    tray_ = std::make_unique<Child>(
        std::vector<std::string>{"trayer", "--edge", "bottom", "--align", "right", "--widthtype",
                                 "pixel", "--width", "40", "--heighttype", "pixel", "--height",
                                 "24"},
        Env(x), logs_ / "trayer.out");
    server_ = std::make_unique<Child>(std::vector<std::string>{testsupport::BinDir() + "/varno"},
                                      Env(x), logs_ / "varno.out");
    return WaitFor([] { return Shell("ss -ltnH 'sport = :10510' | wc -l") == "1"; }, 10s);
  }
  std::unique_ptr<Child> StartViewer(const Xvfb& x, std::vector<std::string> args,
                                     const char* log) {
    args.insert(args.begin(), testsupport::BinDir() + "/glimt");
    return std::make_unique<Child>(args, Env(x), logs_ / log);
  }
  std::string Capture(const Xvfb& x, const char* name) {
    const std::string file = logs_ / name;
    Shell("xwd -root -silent -display " + x.display() + " | convert xwd:- " + file);
    return file;
  }
  // Pixels that differ between the server's screen and the viewer's top-left w x h, the
  // server's capture reduced to w x h by sampling when the sizes differ.
  long Differences(const Xvfb& server, const Xvfb& viewer, int w, int h, int fuzz = 0) {
    const std::string a = Capture(server, "server.png");
    const std::string b = Capture(viewer, "viewer.png");
    const std::string size = std::to_string(w) + "x" + std::to_string(h);
    Shell("convert " + a + " -sample " + size + "! " + (logs_ / "server-sampled.png"));
    const std::string out = Shell("compare -metric AE -fuzz " + std::to_string(fuzz) + "% " +
                                  (logs_ / "server-sampled.png") + " '" + b + "[" + size +
                                  "+0+0]' null: 2>&1");
    return out.empty() ? -1 : std::atol(out.c_str());
  }
  void TearDown() override {
    if (server_) server_->Kill();
    if (tray_) tray_->Kill();
  }
  TempDir registry_;
  TempDir logs_;
  std::unique_ptr<Child> tray_, server_;
};

// Pixels travel in the display's own layout: each depth has its own picture format.
class ViewerDepthTest : public ViewerEndToEndTest, public ::testing::WithParamInterface<int> {};
INSTANTIATE_TEST_SUITE_P(Depths, ViewerDepthTest, ::testing::Values(24, 16));

TEST_P(ViewerDepthTest, TheViewerShowsTheServerScreenAndItsChanges) {
  Xvfb a(640, 480, GetParam()), b(800, 600, GetParam());
  ASSERT_TRUE(a.ok() && b.ok());
  Child clock({"xclock", "-update", "1", "-geometry", "200x200+40+40"}, Env(a));
  ASSERT_TRUE(StartServer(a));
  auto viewer = StartViewer(b, {"127.0.0.1"}, "glimt.out");
  EXPECT_TRUE(WaitFor([&] { return Differences(a, b, 640, 480) == 0; }, 10s))
      << "the viewer's picture is not the server's screen, pixel for pixel";
  // A new window on the server reaches the viewer.
  Child logo({"xlogo", "-geometry", "120x100+400+250"}, Env(a));
  EXPECT_TRUE(WaitFor([&] {
    return Shell("DISPLAY=" + a.display() + " xdotool search --onlyvisible --name xlogo") != "";
  }, 5s));
  EXPECT_TRUE(WaitFor([&] {
    return Differences(a, b, 640, 480) == 0 &&
           Shell("convert " + (logs_ / "viewer.png") +
                 " -crop 120x100+400+250 -format '%k' info:") != "1";
  }, 10s)) << "the change drawn on the server did not appear in the viewer";
  viewer->Kill(SIGTERM);
  int status = -1;
  EXPECT_TRUE(viewer->Wait(3s, &status));
  EXPECT_EQ(status, 0);
}

TEST_F(ViewerEndToEndTest, ALargerServerScreenIsShownReducedInTheViewerDesktop) {
  Xvfb a(800, 600), b(640, 480);
  ASSERT_TRUE(a.ok() && b.ok());
  Child clock({"xclock", "-update", "1", "-geometry", "300x300+100+100"}, Env(a));
  ASSERT_TRUE(StartServer(a));
  auto viewer = StartViewer(b, {"127.0.0.1"}, "glimt.out");
  // Nearest neighbour on both sides; the two may pick a neighbouring source pixel here and
  // there, so allow a few per cent.
  EXPECT_TRUE(WaitFor([&] {
    const long d = Differences(a, b, 640, 480, 10);
    return d >= 0 && d < 640 * 480 / 50;
  }, 10s));
  const std::string geometry = Shell("DISPLAY=" + b.display() +
      " xwininfo -name 'Orvane GLIMT' | grep -E 'Width|Height' | tr -dc '0-9\\n' | paste -sd x");
  EXPECT_EQ(geometry, "640x480") << "the window is cut to the viewer's desktop";
}

TEST_F(ViewerEndToEndTest, AViewerOfTheGroupShowsThePictureAfterAnotherViewerAsksForARefresh) {
  Xvfb a(640, 480), b(800, 600), c(800, 600);
  ASSERT_TRUE(a.ok() && b.ok() && c.ok());
  Child clock({"xclock", "-update", "1", "-geometry", "200x200+40+40"}, Env(a));
  // Without the server's healing cycle, which repeats the area and would show the picture
  // without anyone asking.
  SetSettingDword("RefreshCycle", 0, "Parameters");
  ASSERT_TRUE(StartServer(a));
  std::this_thread::sleep_for(1s);  // the server's own first refresh has gone by
  SetSettingDword("Type", 1, "Parameters");
  SetSettingString("Address", "227.0.1.1:10510", "Parameters");
  auto group_viewer = StartViewer(b, {}, "glimt-group.out");
  ASSERT_TRUE(WaitFor([&] {
    return Shell("DISPLAY=" + b.display() + " xdotool search --onlyvisible --name 'Orvane GLIMT'") != "";
  }, 8s));
  Shell("DISPLAY=" + b.display() + " xdotool search --onlyvisible --name 'Orvane GLIMT' windowfocus; sleep 0.2; DISPLAY=" +
        b.display() + " xdotool key Return");
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(Shell("DISPLAY=" + b.display() + " xdotool search --onlyvisible --name 'Orvane GLIMT'"), "")
      << "a viewer of the group shows nothing before the next full refresh";
  auto host_viewer = StartViewer(c, {"127.0.0.1"}, "glimt-host.out");
  EXPECT_TRUE(WaitFor([&] { return Differences(a, b, 640, 480) == 0; }, 10s));
}

}  // namespace

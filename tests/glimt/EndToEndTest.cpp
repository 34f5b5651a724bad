// The real varno and glimt on two (or three) Xvfb displays in a private network namespace:
// what the viewer's screen shows is compared with a capture of the server's.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
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
  // The peak signal-to-noise ratio of the viewer's whole w x h screen against ImageMagick's
  // Lanczos reduction of the server's; 0 when a capture failed.
  double ReductionPsnr(const Xvfb& server, const Xvfb& viewer, int w, int h) {
    const std::string a = Capture(server, "server.png"), b = Capture(viewer, "viewer.png");
    const std::string size = std::to_string(w) + "x" + std::to_string(h);
    Shell("convert " + a + " -filter Lanczos -resize " + size + "! " + (logs_ / "lanczos.png"));
    const std::string out =
        Shell("compare -metric PSNR " + (logs_ / "lanczos.png") + " " + b + " null: 2>&1");
    return out == "inf" ? 1000 : std::atof(out.c_str());
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
  SetSettingString("ScaleQuality", "Fast", "Parameters");
  auto viewer = StartViewer(b, {"127.0.0.1"}, "glimt.out");
  // "fast": nearest neighbour on both sides; the two may pick a neighbouring source pixel here
  // and there, so allow a few per cent.
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

// A 1920x1080 desktop of terminals shown full screen on smaller displays: thin strokes of text
// survive the reduction ("smooth", the default), measured against a good reduction.
class ViewerReductionTest : public ViewerEndToEndTest,
                            public ::testing::WithParamInterface<std::pair<int, int>> {};
INSTANTIATE_TEST_SUITE_P(Sizes, ViewerReductionTest,
                         ::testing::Values(std::make_pair(1280, 720), std::make_pair(640, 360)));

TEST_P(ViewerReductionTest, TextReducedSmoothlyStaysCloseToALanczosReduction) {
  const auto [w, h] = GetParam();
  Xvfb a(1920, 1080), b(w, h);
  ASSERT_TRUE(a.ok() && b.ok());
  ASSERT_TRUE(testsupport::DrawTerminals(a.display(), 1));
  ASSERT_TRUE(StartServer(a));
  auto viewer = StartViewer(b, {"127.0.0.1", "fullscreen"}, "glimt.out");
  double psnr = 0;
  EXPECT_TRUE(WaitFor([&] { return (psnr = ReductionPsnr(a, b, w, h)) >= 30; }, 20s))
      << "PSNR " << psnr << " dB against the Lanczos reduction";
  RecordProperty("psnr_db", std::to_string(psnr));
}

// The worst pixel of the viewer's top-left w x h against the server's screen: the number of
// pixels with a channel more than 8 levels off (a 5- or 6-bit channel widened to 8 bits).
long PixelsOffByMoreThan8(const testsupport::Screenshot& server,
                          const testsupport::Screenshot& viewer, int w, int h) {
  long off = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const uint32_t p = server.At(x, y), q = viewer.At(x, y);
      if (p == 0xFFFFFFFF || q == 0xFFFFFFFF) return -1;
      for (int k = 0; k < 24; k += 8)
        if (std::abs(int((p >> k) & 0xff) - int((q >> k) & 0xff)) > 8) {
          ++off;
          break;
        }
    }
  return off;
}

// A server display at one depth, the viewer's at another: pixels are converted, after the
// first refresh and after further drawing.
class ViewerConversionTest : public ViewerEndToEndTest,
                             public ::testing::WithParamInterface<std::pair<int, int>> {};
INSTANTIATE_TEST_SUITE_P(Depths, ViewerConversionTest,
                         ::testing::Values(std::make_pair(16, 24), std::make_pair(24, 16)));

TEST_P(ViewerConversionTest, EveryPixelIsWithinEightLevelsOfTheServers) {
  const auto [server_depth, viewer_depth] = GetParam();
  Xvfb a(640, 480, server_depth), b(800, 600, viewer_depth);
  ASSERT_TRUE(a.ok() && b.ok());
  ASSERT_TRUE(testsupport::DrawTerminals(a.display(), 1));
  ASSERT_TRUE(StartServer(a));
  auto viewer = StartViewer(b, {"127.0.0.1"}, "glimt.out");
  long off = -1;
  const auto converted = [&] {
    return (off = PixelsOffByMoreThan8(testsupport::GrabExact(a.display()),
                                       testsupport::GrabExact(b.display()), 640, 480)) == 0;
  };
  EXPECT_TRUE(WaitFor(converted, 10s)) << off << " pixels off after the first refresh";
  const testsupport::Screenshot before = testsupport::GrabExact(a.display());
  ASSERT_TRUE(testsupport::DrawTerminals(a.display(), 2));
  ASSERT_GT(testsupport::Differences(before, testsupport::GrabExact(a.display())),
            640 * 480 / 4) << "the second drawing changes the screen";
  EXPECT_TRUE(WaitFor(converted, 10s)) << off << " pixels off after further drawing";
  EXPECT_NE(Shell("cat " + (logs_ / "glimt.out")).find("pixels are converted"),
            std::string::npos);
}

// An 8-bit server sends colour-table indexes without the table: the viewer says so once, in
// its log and a box, and draws nothing of it.
TEST_F(ViewerEndToEndTest, AnEightBitServerIsNamedOnceAndNotDrawn) {
  Xvfb a(640, 480, 8), b(800, 600);
  ASSERT_TRUE(a.ok() && b.ok());
  ASSERT_TRUE(testsupport::DrawTerminals(a.display(), 1));
  ASSERT_TRUE(StartServer(a));
  auto viewer = StartViewer(b, {"127.0.0.1"}, "glimt.out");
  // The window and, over it, the box: two windows of that name.
  const auto windows = [&] {
    return Shell("DISPLAY=" + b.display() +
                 " xdotool search --onlyvisible --name '^Orvane GLIMT$' | wc -l");
  };
  ASSERT_TRUE(WaitFor([&] { return windows() == "2"; }, 10s));
  // Another full refresh of the same server: no second box, no second line.
  Shell("bash -c \"printf 'go\\r\\n' >/dev/tcp/127.0.0.1/10510\"");
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(windows(), "2");
  EXPECT_EQ(Shell("grep -c 'runs at 8 bits per pixel' " + (logs_ / "glimt.out")), "1");
  // Nothing of the server's picture: the window is black wherever the box leaves it bare.
  const std::string box = Shell("export DISPLAY=" + b.display() +
      "; xdotool search --onlyvisible --name '^Orvane GLIMT$' | while read id; do"
      " xdotool getwindowgeometry --shell $id | tr '\\n' ' '; echo; done"
      " | grep -v 'WIDTH=640 HEIGHT=480'");
  int bx = 0, by = 0, bw = 0, bh = 0;
  ASSERT_EQ(std::sscanf(box.c_str(), "WINDOW=%*d X=%d Y=%d WIDTH=%d HEIGHT=%d", &bx, &by, &bw,
                        &bh), 4) << box;
  const testsupport::Screenshot shown = testsupport::GrabExact(b.display());
  long lit = 0;
  for (int y = 0; y < 480; ++y)
    for (int x = 0; x < 640; ++x)
      if ((x < bx || x >= bx + bw || y < by || y >= by + bh) && shown.At(x, y) != 0) ++lit;
  EXPECT_EQ(lit, 0) << "pixels of the 8-bit picture were drawn";
}

}  // namespace

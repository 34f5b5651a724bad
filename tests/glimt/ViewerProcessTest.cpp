// The real glimt binary on a private Xvfb inside a private network namespace, fed by a fake
// rendezvous service and a test-side multicast sender; checked by screenshots.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

#include "Common/Registry.h"
#include "tests/glimt/NetTestSupport.h"
#include "tests/support/Display.h"
#include "tests/support/TestSupport.h"

using namespace glimttest;
using namespace std::chrono_literals;
using testsupport::Child;
using testsupport::Grab;
using testsupport::KeyInto;
using testsupport::Screenshot;
using testsupport::VisibleWindow;
using testsupport::TempDir;
using testsupport::WaitFor;
using testsupport::Xvfb;

namespace {

// Sanitizer builds: leaks of system libraries are not the programs' own.
std::string LsanOptions() {
  return "LSAN_OPTIONS=suppressions=" + testsupport::SourceDir() + "/tests/glimt/lsan.supp";
}

// Pixels of the pattern that differ on screen, sampled at client (cx, cy) for picture
// (cx * pw / cw, cy * ph / ch): nearest neighbour.
int PatternMismatches(const Screenshot& s, int ox, int oy, int cw, int ch, int pw, int ph,
                      int salt = 0, int step = 1) {
  int bad = 0;
  for (int cy = 0; cy < ch; cy += step)
    for (int cx = 0; cx < cw; cx += step) {
      const int px = cx * pw / cw, py = cy * ph / ch;
      if (s.At(ox + cx, oy + cy) != PatternPixel(px, py, salt)) ++bad;
    }
  return bad;
}

struct Geometry { int x = -1, y = -1, w = -1, h = -1; };
Geometry WindowGeometry(const Xvfb& x, const std::string& id) {
  std::string out;
  testsupport::Run("DISPLAY=" + x.display() + " xwininfo -id " + id, &out);
  Geometry g;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    auto value = [&](const char* key, int* v) {
      const auto p = line.find(key);
      if (p != std::string::npos) *v = std::atoi(line.c_str() + p + std::strlen(key));
    };
    value("Absolute upper-left X:", &g.x);
    value("Absolute upper-left Y:", &g.y);
    value("Width:", &g.w);
    value("Height:", &g.h);
  }
  return g;
}

class ViewerProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_NETWORK();
    setenv("ORVANE_REGISTRY", registry_.path().c_str(), 1);
  }
  std::unique_ptr<Child> StartViewer(const Xvfb& x, std::vector<std::string> args) {
    args.insert(args.begin(), testsupport::BinDir() + "/glimt");
    return std::make_unique<Child>(
        args, std::vector<std::string>{"DISPLAY=" + x.display(),
                                       "ORVANE_REGISTRY=" + registry_.path(), LsanOptions()},
        logs_ / "glimt.out");
  }
  // The viewer without arguments, its dialog set to "Multicast Address:" (the default group
  // 227.0.0.1) and on the screen; nullptr when the dialog did not come.
  std::unique_ptr<Child> StartWithGroupInTheDialog(const Xvfb& x) {
    SetSettingDword("Type", 1, "Parameters");
    auto viewer = StartViewer(x, {});
    if (!WaitFor([&] { return !VisibleWindow(x.display(), "Orvane GLIMT").empty(); }, 8s))
      return nullptr;
    return viewer;
  }
  TempDir registry_;
  TempDir logs_;
};

TEST_F(ViewerProcessTest, HostArgumentAsksForTheTargetAndShowsTheFirstRefresh) {
  Xvfb x(640, 480);
  ASSERT_TRUE(x.ok());
  FakeRendezvous service;
  ASSERT_TRUE(service.ok());
  Sender sender("227.0.1.1", 10510);
  // The answer to the first "go" comes at once, with no delay: the window must already be
  // there to take it. Later requests get nothing.
  std::atomic<bool> answered{false};
  service.OnGo([&] {
    if (!answered.exchange(true)) SendRefresh(sender, 320, 240);
  });
  auto viewer = StartViewer(x, {"127.0.0.1"});
  ASSERT_TRUE(WaitFor([&] { return !VisibleWindow(x.display(), "Orvane GLIMT").empty(); }, 8s))
      << "no window: the first UPDATE_AREA was lost";
  const std::string id = VisibleWindow(x.display(), "Orvane GLIMT");
  const Geometry g = WindowGeometry(x, id);
  EXPECT_EQ(g.x, 0);
  EXPECT_EQ(g.y, 0);
  EXPECT_EQ(g.w, 320);
  EXPECT_EQ(g.h, 240);
  EXPECT_TRUE(WaitFor([&] {
    return PatternMismatches(Grab(x.display(), 640, 480), 0, 0, 320, 240, 320, 240) == 0;
  }, 5s)) << "the picture is not the one sent, pixel for pixel";

  // One request from the receive thread, one from the first size.
  EXPECT_TRUE(WaitFor([&] { return service.gos() >= 2; }, 3s));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(service.gos(), 2);
  const auto requests = service.requests();
  ASSERT_GE(requests.size(), 1u);
  EXPECT_EQ(requests[0], "init\r\n");
  for (std::size_t i = 1; i < requests.size(); ++i) EXPECT_EQ(requests[i], "go\r\n");

  // The pointer follows the server's at one pixel per pixel.
  sender.Pointer(100, 50);
  EXPECT_TRUE(WaitFor([&] {
    std::string out;
    testsupport::Run("DISPLAY=" + x.display() + " xdotool getmouselocation", &out);
    return out.rfind("x:100 y:50 ", 0) == 0;
  }, 3s));

  // Each new size sends one refresh request.
  testsupport::Run("DISPLAY=" + x.display() + " xdotool windowsize " + id + " 200 150");
  EXPECT_TRUE(WaitFor([&] { return service.gos() >= 3; }, 3s));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(service.gos(), 3);

  viewer->Kill(SIGTERM);
  int status = -1;
  ASSERT_TRUE(viewer->Wait(3s, &status));
  EXPECT_EQ(status, 0);
}

TEST_F(ViewerProcessTest, StartupFailuresShowTheConditionReportAndEnd) {
  struct Case {
    const char* what;
    const char* argument;
    const char* answer;  // nullptr: no rendezvous service at all
    std::chrono::milliseconds at_least;
  };
  const Case cases[] = {
      {"unreachable host", "127.0.0.1", nullptr, 0ms},
      {"228.1.1.1 is a server name, not a group", "228.1.1.1", nullptr, 0ms},
      {"answer that fills the buffer", "127.0.0.1", nullptr, 0ms},
      {"silent service", "127.0.0.1", FakeRendezvous::kSilent, 4500ms},
  };
  const std::string long_answer(300, 'A');
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Xvfb x(640, 480);
    ASSERT_TRUE(x.ok());
    std::unique_ptr<FakeRendezvous> service;
    if (c.answer) service = std::make_unique<FakeRendezvous>(c.answer);
    if (std::string(c.what).find("fills") != std::string::npos)
      service = std::make_unique<FakeRendezvous>(long_answer);
    const auto start = std::chrono::steady_clock::now();
    auto viewer = StartViewer(x, {c.argument});
    if (!WaitFor([&] { return !VisibleWindow(x.display(), "Internal Error").empty(); }, 10s)) {
      std::string log, tree;
      testsupport::Run("cat " + (logs_ / "glimt.out"), &log);
      testsupport::Run("xwininfo -root -tree -display " + x.display(), &tree);
      FAIL() << "no condition report; viewer running: " << viewer->running() << "\n" << log << "\n" << tree;
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, c.at_least);
    EXPECT_TRUE(VisibleWindow(x.display(), "Orvane GLIMT").empty()) << "no dialog, no window";
    KeyInto(x.display(), "Internal Error", "Return");
    int status = -1;
    ASSERT_TRUE(viewer->Wait(5s, &status)) << "the viewer did not end after the report";
    EXPECT_EQ(status, 1);
  }
}

// Qt cannot paint on an 8-bit visual (a line edit even crashes it): the viewer ends at once
// with the reason instead of crashing in the connection dialog.
TEST_F(ViewerProcessTest, AnEightBitDisplayEndsStartUpWithTheReason) {
  Xvfb x(640, 480, 8);
  ASSERT_TRUE(x.ok());
  auto viewer = StartViewer(x, {"227.0.1.1"});
  int status = -1;
  ASSERT_TRUE(viewer->Wait(10s, &status));
  EXPECT_EQ(status, 1);
  EXPECT_NE(testsupport::Shell("cat " + (logs_ / "glimt.out")).find("uses 8-bit colour"),
            std::string::npos);
  EXPECT_TRUE(VisibleWindow(x.display(), "Orvane GLIMT").empty());
}

TEST_F(ViewerProcessTest, MulticastAddressFromTheDialogJoinsThatGroupWithoutRequests) {
  Xvfb x(640, 480);
  ASSERT_TRUE(x.ok());
  FakeRendezvous service;
  auto viewer = StartWithGroupInTheDialog(x);
  ASSERT_TRUE(viewer);
  KeyInto(x.display(), "Orvane GLIMT", "Return");  // OK is the default button
  Sender sender("227.0.0.1", 10510);
  // A group given directly shows nothing until the server next sends an area.
  EXPECT_TRUE(WaitFor([&] {
    SendRefresh(sender, 160, 120, 7);
    return PatternMismatches(Grab(x.display(), 640, 480), 0, 0, 160, 120, 160, 120, 7) == 0;
  }, 8s));
  char text[kRegTextBytes] = "<missing>";
  EXPECT_TRUE(GetSettingString("Server", text, "Parameters"));
  EXPECT_STREQ(text, "");
  EXPECT_TRUE(GetSettingString("Address", text, "Parameters"));
  EXPECT_STREQ(text, "227.0.0.1:10510");
  uint32_t v = 9;
  EXPECT_TRUE(GetSettingDword("Fullscreen", &v, "Parameters"));
  EXPECT_EQ(v, 0u);
  // No server known: neither start-up nor a new size asks for a refresh.
  testsupport::Run("DISPLAY=" + x.display() + " xdotool windowsize " +
                   VisibleWindow(x.display(), "Orvane GLIMT") + " 100 80");
  EXPECT_TRUE(WaitFor([&] {
    return WindowGeometry(x, VisibleWindow(x.display(), "Orvane GLIMT")).w == 100;
  }, 3s));
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(service.requests().empty()) << "no server known: no refresh requests";
  viewer->Kill(SIGTERM);
  int status = -1;
  EXPECT_TRUE(viewer->Wait(3s, &status));
  EXPECT_EQ(status, 0);
}

// A server that heals its viewers sends its area at least once a second and the whole area
// again over a cycle, a slice a tick. A viewer of the group (nobody asks for anything) shows
// the whole picture within an area's second and one cycle.
TEST_F(ViewerProcessTest, AGroupViewerShowsThePictureFromTheServersOwnRepeatsWithNobodyAsking) {
  Xvfb x(640, 480);
  ASSERT_TRUE(x.ok());
  FakeRendezvous service;
  auto viewer = StartWithGroupInTheDialog(x);
  ASSERT_TRUE(viewer);
  Sender sender("227.0.0.1", 10510);
  std::atomic<bool> serving{true};
  std::thread server([&] {  // ticks of 100 ms: an area every 10th, a tenth of the area each
    constexpr int kRows = 240 / 10;
    for (int tick = 0; serving; ++tick) {
      if (tick % 10 == 0) sender.Area(0, 0, 320, 240);
      const int top = (tick % 10) * kRows;
      sender.Send(PatternBlock(0, top, 320, top + kRows, 3));
      std::this_thread::sleep_for(100ms);
    }
  });
  KeyInto(x.display(), "Orvane GLIMT", "Return");  // OK: the group 227.0.0.1
  const auto start = std::chrono::steady_clock::now();
  const bool shown = WaitFor([&] {
    return PatternMismatches(Grab(x.display(), 640, 480), 0, 0, 320, 240, 320, 240, 3, 2) == 0;
  }, 4s);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start).count();
  serving = false;
  server.join();
  std::printf("[measure] group viewer: whole picture %lld ms after OK\n",
              static_cast<long long>(ms));
  EXPECT_TRUE(shown) << "the picture never came whole";
  EXPECT_TRUE(service.requests().empty()) << "nobody was to be asked";
  viewer->Kill(SIGTERM);
  int status = -1;
  EXPECT_TRUE(viewer->Wait(3s, &status));
  EXPECT_EQ(status, 0);
}

TEST_F(ViewerProcessTest, BadDatagramsAreDroppedAndTheStreamGoesOn) {
  Xvfb x(640, 480);
  ASSERT_TRUE(x.ok());
  FakeRendezvous service;
  Sender sender("227.0.1.1", 10510);
  // Broken areas first: no picture may come of them.
  service.OnGo([&] {
    sender.Area(0, 0, 0, 240);
    sender.Area(0, 0, 320, -5);
    sender.Area(0, 0, 40000, 240);
    SendRefresh(sender, 320, 240);
  });
  auto viewer = StartViewer(x, {"127.0.0.1"});
  ASSERT_TRUE(WaitFor([&] {
    return PatternMismatches(Grab(x.display(), 640, 480), 0, 0, 320, 240, 320, 240, 0, 4) == 0;
  }, 8s));
  EXPECT_EQ(WindowGeometry(x, VisibleWindow(x.display(), "Orvane GLIMT")).w, 320);

  std::vector<uint8_t> good = PatternBlock(0, 0, 40, 40, 99);
  std::vector<uint8_t> truncated = PatternBlock(100, 100, 140, 140, 99);
  truncated.pop_back();  // length says one byte more than arrives
  std::vector<uint8_t> corrupted = PatternBlock(200, 100, 240, 140, 99);
  corrupted[30] ^= 0xFF;
  corrupted[31] ^= 0xFF;
  const std::vector<std::vector<uint8_t>> bad = {
      {},                                                // empty datagram
      std::vector<uint8_t>(10, 0),                       // shorter than a header
      truncated,
      corrupted,
      Header(3, 0, 0, 0, 10, 10),                        // unknown kind
      Block(50, 50, 40, 40, Compress({1, 2, 3})),        // inverted
      Block(INT32_MIN, 0, INT32_MAX, 10, Compress({1})),  // overflowing
      Block(0, 0, 1000, 66, Compress(std::vector<uint8_t>(264000, 9))),  // too big
  };
  for (const auto& d : bad) sender.Send(d);
  sender.Send(good);
  EXPECT_TRUE(WaitFor([&] {
    return PatternMismatches(Grab(x.display(), 640, 480), 0, 0, 40, 40, 40, 40, 99) == 0;
  }, 5s)) << "the valid block after the bad ones was not drawn";
  const Screenshot s = Grab(x.display(), 640, 480);
  auto unchanged = [&](int left, int top) {
    int same = 0;
    for (int y = top; y < top + 40; ++y)
      for (int xx = left; xx < left + 40; ++xx) same += s.At(xx, y) == PatternPixel(xx, y);
    return same;
  };
  EXPECT_EQ(unchanged(100, 100), 40 * 40) << "a truncated block changed the picture";
  EXPECT_EQ(unchanged(200, 100), 40 * 40) << "a damaged block changed the picture";
  EXPECT_TRUE(viewer->running());
  viewer->Kill(SIGTERM);
  int status = -1;
  EXPECT_TRUE(viewer->Wait(3s, &status));
  EXPECT_EQ(status, 0);
}

TEST_F(ViewerProcessTest, FullScreenCoversTheScreenAndEscapeEndsItWhileBlocksFlow) {
  Xvfb x(640, 480);
  ASSERT_TRUE(x.ok());
  FakeRendezvous service;
  Sender sender("227.0.1.1", 10510);
  service.OnGo([&] { SendRefresh(sender, 320, 240); });
  auto viewer = StartViewer(x, {"127.0.0.1", "fullscreen"});
  ASSERT_TRUE(WaitFor([&] { return !VisibleWindow(x.display(), "Orvane GLIMT").empty(); }, 8s));
  const Geometry g = WindowGeometry(x, VisibleWindow(x.display(), "Orvane GLIMT"));
  EXPECT_EQ(g.x, 0);
  EXPECT_EQ(g.y, 0);
  EXPECT_EQ(g.w, 640);
  EXPECT_EQ(g.h, 480);
  // Stretched to twice the size, nearest neighbour.
  EXPECT_TRUE(WaitFor([&] {
    return PatternMismatches(Grab(x.display(), 640, 480), 0, 0, 640, 480, 320, 240, 0, 3) == 0;
  }, 5s));

  std::atomic<bool> flowing{true};
  std::thread stream([&] {
    for (int i = 0; flowing; ++i) {
      sender.Send(PatternBlock(0, (i * 8) % 240, 320, (i * 8) % 240 + 8, i));
      std::this_thread::sleep_for(2ms);
    }
  });
  std::this_thread::sleep_for(300ms);
  KeyInto(x.display(), "Orvane GLIMT", "Escape");
  int status = -1;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(viewer->Wait(3s, &status));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms);
  EXPECT_EQ(status, 0);
  flowing = false;
  stream.join();
}

TEST_F(ViewerProcessTest, AnAreaAwayFromTheOriginIsShownFromItsCorner) {
  Xvfb x(1024, 768);
  ASSERT_TRUE(x.ok());
  FakeRendezvous service;
  Sender sender("227.0.1.1", 10510);
  // The server broadcasts (100, 50)-(420, 290) of its screen.
  service.OnGo([&] {
    sender.Area(100, 50, 420, 290);
    sender.Send(PatternBlock(100, 50, 420, 214));  // two strips, as a server cuts them
    sender.Send(PatternBlock(100, 214, 420, 290));
  });
  auto viewer = StartViewer(x, {"127.0.0.1"});
  ASSERT_TRUE(WaitFor([&] { return !VisibleWindow(x.display(), "Orvane GLIMT").empty(); }, 8s));
  const Geometry g = WindowGeometry(x, VisibleWindow(x.display(), "Orvane GLIMT"));
  EXPECT_EQ(g.x, 100);
  EXPECT_EQ(g.y, 50);
  EXPECT_EQ(g.w, 320);
  EXPECT_EQ(g.h, 240);
  // Server pixel (100 + i, 50 + j) is client pixel (i, j), which sits at screen (100 + i, 50 + j).
  EXPECT_TRUE(WaitFor([&] {
    const Screenshot s = Grab(x.display(), 1024, 768);
    int bad = 0;
    for (int j = 0; j < 240; j += 3)
      for (int i = 0; i < 320; i += 3) bad += s.At(100 + i, 50 + j) != PatternPixel(100 + i, 50 + j);
    return bad == 0;
  }, 5s));
  // Server (320, 240) is client (220, 190), on this screen (320, 240).
  sender.Pointer(320, 240);
  EXPECT_TRUE(WaitFor([&] {
    std::string out;
    testsupport::Run("DISPLAY=" + x.display() + " xdotool getmouselocation", &out);
    return out.rfind("x:320 y:240 ", 0) == 0;
  }, 3s));
}

TEST(ViewerCommandLineTest, HelpVersionAndMissingDisplay) {
  struct Case { const char* command; int status; const char* output; };
  const std::string glimt = testsupport::BinDir() + "/glimt";
  const Case cases[] = {
      {"--help", 0, "Usage: glimt [TARGET [fullscreen]]"},
      {"--version", 0, "glimt (Orvane GLIMT) "},
  };
  for (const Case& c : cases) {
    std::string out;
    const int status = testsupport::Run(glimt + " " + c.command, &out);
    EXPECT_EQ(status, c.status) << c.command;
    EXPECT_NE(out.find(c.output), std::string::npos) << out;
  }
  // No desktop to show on: the condition report, a line saying which, and status 1. A
  // session is Wayland by its type, or by a Wayland display without an X one; a platform
  // named for Qt comes first.
  const struct { const char* env; const char* says; } missing[] = {
      {"-u DISPLAY -u WAYLAND_DISPLAY -u XDG_SESSION_TYPE", "cannot open the X display"},
      {"-u DISPLAY XDG_SESSION_TYPE=wayland WAYLAND_DISPLAY=/nonexistent/wayland-9",
       "cannot connect to the Wayland compositor"},
      {"-u DISPLAY -u XDG_SESSION_TYPE WAYLAND_DISPLAY=/nonexistent/wayland-9",
       "cannot connect to the Wayland compositor"},
      {"-u DISPLAY XDG_SESSION_TYPE=wayland WAYLAND_DISPLAY=/nonexistent/wayland-9 "
       "QT_QPA_PLATFORM=xcb", "cannot open the X display"},
  };
  for (const auto& m : missing) {
    std::string out;
    const int status = testsupport::Run("env " + std::string(m.env) + " " + glimt + " 2>&1", &out);
    EXPECT_EQ(status, 1) << m.env;
    EXPECT_NE(out.find("ASSERT(desktop) failed"), std::string::npos) << m.env << "\n" << out;
    EXPECT_NE(out.find(m.says), std::string::npos) << m.env << "\n" << out;
  }
}

}  // namespace

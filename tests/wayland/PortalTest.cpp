// The ScreenCast portal source on one private headless desktop (sway, PipeWire, WirePlumber,
// swaybar as tray host), against a portal of the tests' own and a PipeWire producer whose
// every frame the test dictates: the PipeWire stream alone, the portal's exchange, and varno
// started as a user of such a desktop starts it, watched by a receiver written from the
// datagram format alone.
#include <gtest/gtest.h>
#include <signal.h>

#include <QCoreApplication>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/PipeWireScreen.h"
#include "platform/ScreenCastPortal.h"
#include "tests/support/ScreenCast.h"
#include "tests/support/ScreenTestUtil.h"
#include "tests/support/Sway.h"
#include "tests/support/WireReceiver.h"

namespace {

using std::chrono::milliseconds;
using testsupport::CaptureAll;
using testsupport::DamageLog;
using testsupport::TestPortal;
using testsupport::TestProducer;
using testsupport::WaitFor;

constexpr int kW = 320, kH = 240;

// Pixels of a picture (B, G, R, 0, rows of stride bytes) that differ from the producer's
// (0xRRGGBB); -1 when the sizes differ.
long Mismatches(const std::vector<uint8_t>& got, std::size_t stride,
                const std::vector<uint32_t>& want, int width) {
  const int height = static_cast<int>(want.size()) / width;
  if (got.size() != stride * static_cast<std::size_t>(height)) return -1;
  long n = 0;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const uint8_t* p =
          &got[static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(x) * 4];
      const uint32_t rgb = (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
      n += rgb != want[static_cast<std::size_t>(y * width + x)] || p[3] != 0;
    }
  return n;
}

long Mismatches(ScreenSource& screen, const TestProducer& producer) {
  std::size_t stride = 0;
  const std::vector<uint8_t> got = CaptureAll(screen, &stride);
  return Mismatches(got, stride, producer.picture(), producer.width());
}

std::vector<Rect> Rects(const Region& r) { return r.Rectangles(); }

// The portal's events, one a line, for failure messages.
std::string Events(const TestPortal& portal) {
  std::string all;
  for (const std::string& e : portal.Events()) all += e + "\n";
  return all;
}

// One desktop for the whole program, both suites: starting sway, PipeWire and WirePlumber is
// most of the cost. Ended after the last case.
class Desktop : public ::testing::Environment {
 public:
  void SetUp() override {
    session = new testsupport::SwaySession({640, 480, /*bar=*/true, /*pipewire=*/true});
    if (!session->ok()) return;
    // This process is a client of the session too: PipeWire, the bus, the compositor.
    session->EnterEnvironment();
    static int argc = 1;
    static char name[] = "wayland_portal_tests";
    static char* argv[] = {name, nullptr};
    app = new QCoreApplication(argc, argv);  // the portal's answers come through its loop
  }
  void TearDown() override {
    delete session;
    session = nullptr;
  }
  testsupport::SwaySession* session = nullptr;
  QCoreApplication* app = nullptr;
};
Desktop* const g_desktop =
    static_cast<Desktop*>(::testing::AddGlobalTestEnvironment(new Desktop));

class ScreenCastTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sway_ = g_desktop->session;
    ASSERT_TRUE(sway_ && sway_->ok()) << (sway_ ? sway_->error() : "");
  }

  static std::unique_ptr<ScreenSource> OpenStream(const TestProducer& producer, DamageLog* log) {
    PipeWireStreamOptions o;
    o.node = producer.node();
    o.first_frame_timeout_ms = 5000;
    return OpenPipeWireScreen(o, log ? log->Sink() : ScreenChangeSink{});
  }

  testsupport::SwaySession* sway_ = nullptr;
};

TEST_F(ScreenCastTest, StreamFollowsThePictureTheDamageMetadataAndThePointer) {
  TestProducer producer(*sway_, kW, kH, {"--damage", "--cursor"});
  ASSERT_TRUE(producer.ok());
  producer.Pattern(5);
  producer.Cursor(10, 20);
  producer.Frame(false);  // goes out once the stream is linked
  DamageLog log;
  auto screen = OpenStream(producer, &log);
  ASSERT_TRUE(screen);
  EXPECT_EQ(screen->ClipBox(), (Rect{0, 0, kW, kH}));
  EXPECT_EQ(screen->BitsPerPixel(), 32);
  EXPECT_TRUE(screen->ReportsChanges());
  EXPECT_EQ(Mismatches(*screen, producer), 0);
  int32_t x = -1, y = -1;
  EXPECT_TRUE(screen->PointerPosition(&x, &y));
  EXPECT_EQ(x, 10);
  EXPECT_EQ(y, 20);

  // A frame that moves only the pointer: the pointer is reported, no damage (the producer
  // declares the whole picture; its tiles are all unchanged).
  ASSERT_TRUE(WaitFor([&] { return log.Calls() > 0; }, milliseconds(2000)));
  log.Clear();
  producer.Cursor(30, 40);
  ASSERT_TRUE(producer.Frame());
  ASSERT_TRUE(WaitFor([&] { return log.PointerCalls() > 0; }, milliseconds(3000)));
  EXPECT_TRUE(screen->PointerPosition(&x, &y));
  EXPECT_EQ(x, 30);
  EXPECT_EQ(y, 40);
  EXPECT_EQ(log.Calls(), 0) << "damage reported for an unchanged picture";

  // The metadata names what changed; what it leaves out is not looked at.
  log.Clear();
  producer.Fill(70, 10, 20, 20, 0x102030);
  producer.Damage(70, 10, 20, 20);
  producer.Fill(200, 150, 10, 10, 0x405060);  // changed, but not declared
  ASSERT_TRUE(producer.Frame());
  ASSERT_TRUE(WaitFor([&] { return log.Covers(Rect{70, 10, 90, 30}); }, milliseconds(3000)));
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(Rects(log.Copy()), (std::vector<Rect>{{70, 10, 90, 30}}));
  EXPECT_EQ(Mismatches(*screen, producer), 100) << "only the undeclared 10 x 10 may differ";

  // A frame that declares everything: the comparison finds the square left out before, in
  // its 64-pixel tile (192..256, 128..192), and nothing else.
  log.Clear();
  ASSERT_TRUE(producer.Frame());
  ASSERT_TRUE(WaitFor([&] { return log.Calls() > 0; }, milliseconds(3000)));
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(Rects(log.Copy()), (std::vector<Rect>{{192, 128, 256, 192}}));
  EXPECT_EQ(Mismatches(*screen, producer), 0);
}

TEST_F(ScreenCastTest, WithoutDamageMetadataOnlyChangedTilesAreReported) {
  // R, G, B, x from a producer with neither damage nor cursor metadata.
  TestProducer producer(*sway_, kW, kH, {"--rgbx"});
  ASSERT_TRUE(producer.ok());
  producer.Pattern(9);
  producer.Frame(false);
  DamageLog log;
  auto screen = OpenStream(producer, &log);
  ASSERT_TRUE(screen);
  EXPECT_EQ(Mismatches(*screen, producer), 0) << "channels swapped or picture shifted";
  int32_t x, y;
  EXPECT_FALSE(screen->PointerPosition(&x, &y)) << "no cursor metadata, no position";
  ASSERT_TRUE(WaitFor([&] { return log.Calls() > 0; }, milliseconds(2000)));

  // Tile edges at 64: pixel 63 is in the first tile, 64 in the second.
  struct {
    Rect fill;
    std::vector<Rect> want;
  } cases[] = {
      {{0, 0, 1, 1}, {{0, 0, 64, 64}}},
      {{63, 63, 64, 64}, {{0, 0, 64, 64}}},
      {{64, 64, 65, 65}, {{64, 64, 128, 128}}},
      {{127, 63, 129, 65}, {{64, 0, 192, 128}}},  // four tiles, one rectangle
      {{319, 239, 320, 240}, {{256, 192, 320, 240}}},  // the last pixel: a tile cut short
  };
  uint32_t colour = 0x010203;
  for (const auto& c : cases) {
    log.Clear();
    producer.Fill(c.fill.left, c.fill.top, static_cast<int>(c.fill.Width()),
                  static_cast<int>(c.fill.Height()), colour += 0x111111);
    ASSERT_TRUE(producer.Frame());
    ASSERT_TRUE(WaitFor([&] { return log.Covers(c.fill); }, milliseconds(3000)));
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(Rects(log.Copy()), c.want) << "fill at " << c.fill.left << "," << c.fill.top;
  }
  EXPECT_EQ(Mismatches(*screen, producer), 0);

  // An unchanged frame reports nothing: the marker frame after it is all that arrives.
  log.Clear();
  ASSERT_TRUE(producer.Frame());
  producer.Fill(100, 200, 1, 1, 0xFFFFFF);
  ASSERT_TRUE(producer.Frame());
  ASSERT_TRUE(WaitFor([&] { return log.Calls() > 0; }, milliseconds(3000)));
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(Rects(log.Copy()), (std::vector<Rect>{{64, 192, 128, 240}}));
}

TEST_F(ScreenCastTest, CaptureFailsOnceTheProducerStops) {
  TestProducer producer(*sway_, kW, kH);
  ASSERT_TRUE(producer.ok());
  producer.Frame(false);
  auto screen = OpenStream(producer, nullptr);
  ASSERT_TRUE(screen);
  std::vector<uint8_t> out(40 * 10, 0);
  ASSERT_TRUE(screen->Capture(Rect{0, 0, 10, 10}, out.data(), 40));
  producer.Stop();
  EXPECT_TRUE(WaitFor([&] { return !screen->Capture(Rect{0, 0, 10, 10}, out.data(), 40); },
                      milliseconds(5000)));

  // A node nobody feeds: no first picture, a clear failure within the time allowed.
  PipeWireStreamOptions o;
  o.node = 999999;
  o.first_frame_timeout_ms = 500;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(OpenPipeWireScreen(o, {}), nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, milliseconds(3000));
}

// The portal's side: what it was asked and whether it asked the user.
TEST_F(ScreenCastTest, PortalTokenIsKeptAndASecondStartDoesNotAsk) {
  TestProducer producer(*sway_, kW, kH, {"--cursor"});
  ASSERT_TRUE(producer.ok());
  producer.Pattern(3);
  TestPortal portal(*sway_, producer.node(), kW, kH);
  ASSERT_TRUE(portal.ok());
  std::string kept;
  PortalOptions o;
  o.keep_token = [&](const std::string& t) { kept = t; };
  o.answer_timeout_ms = 5000;

  producer.Frame(false);
  auto first = OpenPortalScreen(o, {});
  ASSERT_TRUE(first);
  EXPECT_EQ(Mismatches(*first, producer), 0);
  EXPECT_EQ(portal.Count("ask"), 1);
  EXPECT_EQ(portal.Count("select types=1 multiple=false cursor_mode=4 persist_mode=2"), 1)
      << "one monitor, the pointer as metadata, remembered until revoked";
  EXPECT_EQ(kept.rfind("token-", 0), 0u) << kept;
  first.reset();
  EXPECT_TRUE(WaitFor([&] { return portal.Count("close session") == 1; }, milliseconds(2000)))
      << Events(portal);

  // With the token: not asked, and a new token (each is good for one start).
  o.restore_token = kept;
  const std::string used = kept;
  producer.Frame(false);
  auto second = OpenPortalScreen(o, {});
  ASSERT_TRUE(second) << producer.Output();
  EXPECT_EQ(portal.Count("ask"), 1);
  EXPECT_EQ(portal.Count("restore " + used), 1);
  EXPECT_NE(kept, used);
  EXPECT_EQ(kept.rfind("token-", 0), 0u);
  second.reset();

  // A used token: asked again.
  o.restore_token = used;
  producer.Frame(false);
  EXPECT_TRUE(OpenPortalScreen(o, {}));
  EXPECT_EQ(portal.Count("ask"), 2);
}

TEST_F(ScreenCastTest, RefusedOrCancelledRequestsOpenNothingAndCloseTheSession) {
  TestProducer producer(*sway_, kW, kH);
  ASSERT_TRUE(producer.ok());
  struct {
    const char* refuse;
    int closes;  // the session, once it exists
  } cases[] = {{"create:1", 0}, {"create:2", 0}, {"select:1", 1},
               {"select:2", 1}, {"start:1", 1},  {"start:2", 1}};
  for (const auto& c : cases) {
    TestPortal portal(*sway_, producer.node(), kW, kH, {"--refuse", c.refuse});
    ASSERT_TRUE(portal.ok());
    bool kept = false;
    PortalOptions o;
    o.keep_token = [&](const std::string&) { kept = true; };
    o.answer_timeout_ms = 5000;
    EXPECT_EQ(OpenPortalScreen(o, {}), nullptr) << c.refuse;
    EXPECT_FALSE(kept) << c.refuse;
    EXPECT_EQ(portal.Count("remote"), 0) << c.refuse;
    EXPECT_TRUE(WaitFor([&] { return portal.Count("close session") == c.closes; },
                        milliseconds(2000)))
        << c.refuse << ":\n" << Events(portal);
  }
  // Nobody ever clicks: the wait ends after the time allowed, and the request is withdrawn.
  {
    TestPortal portal(*sway_, producer.node(), kW, kH, {"--silent", "start"});
    ASSERT_TRUE(portal.ok());
    PortalOptions o;
    o.answer_timeout_ms = 300;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(OpenPortalScreen(o, {}), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, milliseconds(2000));
    EXPECT_TRUE(WaitFor([&] { return portal.Count("close request") == 1; }, milliseconds(2000)));
    EXPECT_EQ(portal.Count("remote"), 0);
  }
  // No portal at all.
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(OpenPortalScreen(PortalOptions{}, {}), nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, milliseconds(3000));
}

TEST_F(ScreenCastTest, OlderPortalIsAskedOnlyForWhatItKnows) {
  TestProducer producer(*sway_, kW, kH);
  ASSERT_TRUE(producer.ok());
  struct {
    const char* version;
    const char* cursor_modes;
    const char* select;
  } cases[] = {
      // Version 3: no persist_mode, no token; no metadata cursor mode: drawn in.
      {"3", "3", "select types=1 multiple=false cursor_mode=2"},
      {"4", "1", "select types=1 multiple=false cursor_mode=1 persist_mode=2"},
      {"4", "0", "select types=1 multiple=false persist_mode=2"},
  };
  for (const auto& c : cases) {
    TestPortal portal(*sway_, producer.node(), kW, kH,
                      {"--version", c.version, "--cursor-modes", c.cursor_modes});
    ASSERT_TRUE(portal.ok());
    bool kept = false;
    PortalOptions o;
    o.restore_token = "token-from-before";
    o.keep_token = [&](const std::string&) { kept = true; };
    o.answer_timeout_ms = 5000;
    producer.Frame(false);
    EXPECT_TRUE(OpenPortalScreen(o, {})) << c.select;
    EXPECT_EQ(portal.Count(c.select), 1) << c.select;
    EXPECT_EQ(kept, std::string(c.version) == "4") << c.select;
  }
}

// varno as a user of a portal desktop starts it.
class VarnoPortalTest : public ScreenCastTest {
 protected:
  void SetUp() override {
    ScreenCastTest::SetUp();
    ASSERT_TRUE(testsupport::InstallVarno(dir_.path()));
  }
  std::vector<std::string> Env() const { return sway_->VarnoEnv(dir_.path()); }
  std::string Log() const {
    std::string text;
    testsupport::Run("cat '" + dir_.path() + "'/*.log '" + (dir_ / "out.txt") + "' 2>/dev/null",
                     &text);
    return text;
  }
  // orvane-reg on the server's registry, with args after the key.
  int Reg(const std::string& verb, const std::string& args, std::string* out = nullptr) const {
    return testsupport::Run("ORVANE_REGISTRY='" + (dir_ / "registry") + "' '" +
                                testsupport::BinDir() + "/orvane-reg' " + verb +
                                " 'HKLM\\SOFTWARE\\Orvane\\VARNO\\Parameters' " + args +
                                " 2>/dev/null",
                            out);
  }
  std::string Setting(const char* name) const {
    std::string out;
    Reg("query", std::string("/v ") + name, &out);
    return out;
  }
  testsupport::TempDir dir_;
};

TEST_F(VarnoPortalTest, ReceiverRebuildsTheProducersPictureAndASecondStartDoesNotAsk) {
  REQUIRE_PRIVATE_NETWORK();
  TestProducer producer(*sway_, kW, kH, {"--damage", "--cursor"});
  ASSERT_TRUE(producer.ok());
  TestPortal portal(*sway_, producer.node(), kW, kH);
  ASSERT_TRUE(portal.ok());
  // The automatic choice would take sway's screencopy: this is what a GNOME or KDE user gets.
  ASSERT_EQ(Reg("add", "/v ScreenSource /d portal"), 0);
  testsupport::WireReceiver receiver("227.0.13.2", 10514, kW, kH);
  ASSERT_TRUE(receiver.ok());
  const auto picture_matches = [&] {
    const std::vector<uint8_t> got = receiver.Picture();
    return Mismatches(got, static_cast<std::size_t>(kW) * 4, producer.picture(), kW) == 0;
  };

  for (int start = 1; start <= 2; ++start) {
    SCOPED_TRACE("start " + std::to_string(start));
    producer.Pattern(20 + static_cast<uint32_t>(start));
    producer.Cursor(50 + start, 60);
    producer.Frame(false);
    const int areas = receiver.Count(0);
    testsupport::Child varno({dir_ / "varno", "227.0.13.2:10514"}, Env(), dir_ / "out.txt");
    ASSERT_TRUE(WaitFor([&] { return receiver.Count(0) > areas; }, milliseconds(15000))) << Log();
    EXPECT_TRUE(WaitFor(picture_matches, milliseconds(5000))) << Log();
    int32_t x = -1, y = -1;
    EXPECT_TRUE(WaitFor([&] { return receiver.Pointer(&x, &y) && x == 50 + start; },
                        milliseconds(3000)));
    EXPECT_EQ(y, 60) << "the pointer from the cursor metadata";

    // Drawing reaches the receiver through the stream's damage.
    producer.Fill(100 + start, 100, 40, 30, 0x2080C0);
    producer.Damage(100 + start, 100, 40, 30);
    ASSERT_TRUE(producer.Frame());
    EXPECT_TRUE(WaitFor(picture_matches, milliseconds(5000))) << Log();
    EXPECT_EQ(receiver.bad(), 0);

    varno.Kill(SIGTERM);
    int status = -1;
    EXPECT_TRUE(varno.Wait(milliseconds(5000), &status));
    EXPECT_EQ(status, 0) << Log();
    EXPECT_EQ(portal.Count("ask"), 1) << "asked on the first start only";
    EXPECT_EQ(portal.Count("restore"), start - 1);
  }
  EXPECT_NE(Log().find("Screen read through the ScreenCast portal"), std::string::npos) << Log();
  // The registry holds the token of the last start.
  const std::vector<std::string> events = portal.Events();
  const std::string last_start = [&] {
    std::string s;
    for (const std::string& e : events)
      if (e.rfind("start 0 ", 0) == 0) s = e.substr(8);
    return s;
  }();
  ASSERT_FALSE(last_start.empty());
  const std::string stored = Setting("PortalRestoreToken");
  EXPECT_NE(stored.find(last_start), std::string::npos) << stored;
  EXPECT_NE(stored.find("REG_SZ"), std::string::npos) << stored;
}

TEST_F(VarnoPortalTest, FramesWithoutDamageMetadataSendOnlyWhatChanged) {
  REQUIRE_PRIVATE_NETWORK();
  TestProducer producer(*sway_, kW, kH);
  ASSERT_TRUE(producer.ok());
  producer.Pattern(7);
  TestPortal portal(*sway_, producer.node(), kW, kH);
  ASSERT_TRUE(portal.ok());
  ASSERT_EQ(Reg("add", "/v ScreenSource /d portal"), 0);
  // Without the healing cycle, which sends the picture again: only changes go here.
  ASSERT_EQ(Reg("add", "/v RefreshCycle /t REG_DWORD /d 0"), 0);
  testsupport::WireReceiver receiver("227.0.13.5", 10517, kW, kH);
  ASSERT_TRUE(receiver.ok());
  testsupport::Child varno({dir_ / "varno", "227.0.13.5:10517"}, Env(), dir_ / "out.txt");
  const auto picture_matches = [&] {
    const std::vector<uint8_t> got = receiver.Picture();
    return Mismatches(got, static_cast<std::size_t>(kW) * 4, producer.picture(), kW) == 0;
  };
  const auto quiet = [&] {
    return WaitFor([&] {
      return std::chrono::steady_clock::now() - receiver.last_datagram() > milliseconds(600);
    }, milliseconds(5000));
  };
  ASSERT_TRUE(WaitFor(picture_matches, milliseconds(15000))) << Log();
  ASSERT_TRUE(quiet());

  // The same picture again: nothing is sent.
  std::size_t blocks = receiver.BlockAreas().size();
  ASSERT_TRUE(producer.Frame());
  std::this_thread::sleep_for(milliseconds(700));
  EXPECT_EQ(receiver.BlockAreas().size(), blocks) << "an unchanged frame was sent";

  // One pixel changes at (130, 70): the source reports its 64-pixel tile, and the server,
  // comparing that against the picture it sent, sends the pixel alone.
  producer.Fill(130, 70, 1, 1, 0xFFFFFF);
  ASSERT_TRUE(producer.Frame());
  EXPECT_TRUE(WaitFor(picture_matches, milliseconds(5000)));
  ASSERT_TRUE(quiet());
  const auto areas = receiver.BlockAreas();
  ASSERT_EQ(areas.size(), blocks + 1);
  const auto& a = areas[blocks];
  EXPECT_TRUE(a[0] == 130 && a[1] == 70 && a[2] == 131 && a[3] == 71)
      << "(" << a[0] << "," << a[1] << ")-(" << a[2] << "," << a[3] << ")";
  varno.Kill(SIGTERM);
  int status = -1;
  EXPECT_TRUE(varno.Wait(milliseconds(5000), &status));
  EXPECT_EQ(status, 0) << Log();
}

TEST_F(VarnoPortalTest, RefusedStartEndsStartUpWithTheDesktopReportAndStatus1) {
  REQUIRE_PRIVATE_NETWORK();
  TestProducer producer(*sway_, kW, kH);
  ASSERT_TRUE(producer.ok());
  TestPortal portal(*sway_, producer.node(), kW, kH, {"--refuse", "start:1"});
  ASSERT_TRUE(portal.ok());
  ASSERT_EQ(Reg("add", "/v ScreenSource /d portal"), 0);
  testsupport::Child varno({dir_ / "varno", "227.0.13.3:10515"}, Env(), dir_ / "out.txt");
  // The condition report is a window on the desktop; the test closes it as a user would.
  ASSERT_TRUE(sway_->CloseWindowOf(varno.pid(), milliseconds(15000)))
      << "no condition box appeared\n" << Log();
  int status = -1;
  ASSERT_TRUE(varno.Wait(milliseconds(10000), &status)) << Log();
  EXPECT_EQ(status, 1);
  const std::string log = Log();
  EXPECT_NE(log.find("The ScreenCast portal refused Start (sharing the screen): cancelled by "
                     "the user (response 1)"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("ASSERT(desktop) failed"), std::string::npos) << log;
  EXPECT_NE(log.find("  in module [server/varno:233].\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("Server started"), std::string::npos);
  EXPECT_EQ(Setting("PortalRestoreToken").find("token-"), std::string::npos);
}

}  // namespace

// Loss between two machines: the server in a network namespace of its own, joined to the
// viewer's (this test's private namespace) by a veth pair that lives wholly inside the two;
// 5 % of what the server sends is dropped (netem, or a tc program where the kernel has no
// netem) while a client draws. Once the loss is removed and a "go" is sent, the viewer's
// picture equals the server's screen again (the server's healing cycle is off here; the
// network tests show it).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "tests/hardening/Harness.h"
#include "tests/support/NetTopology.h"

using namespace std::chrono_literals;
using namespace hardening;
using testsupport::TempDir;
using testsupport::WaitFor;
using testsupport::Xvfb;

namespace {
constexpr int kW = 320, kH = 240;
const char* const kServerAddress = testsupport::ServerLink::kServerAddress;

// Server and viewer displays, the link between their namespaces, and no healing cycle: what
// heals is a refresh request alone.
class Loss : public testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_NETWORK();
    ASSERT_TRUE(sx.ok() && vx.ok());
    ASSERT_TRUE(trayer.ok()) << "trayer did not start";
    // Made only once the namespace is known to be a private one.
    link = std::make_unique<testsupport::ServerLink>(false);
    ASSERT_TRUE(link->ok()) << link->error();
    ASSERT_TRUE(ServerSetting(dir, "RefreshCycle", 0));
  }
  Xvfb sx{kW, kH, 24}, vx{kW, kH, 24};
  Trayer trayer{sx};
  TempDir dir;
  std::unique_ptr<testsupport::ServerLink> link;
};

TEST_F(Loss, PictureIsWholeAgainAfterLossEndsAndAGo) {
  Server server(sx, dir, link->server().Prefix());
  ASSERT_TRUE(WaitForService(kServerAddress, 15s)) << server.Log();
  auto viewer = StartViewer(vx, dir, {kServerAddress});
  ASSERT_TRUE(WaitFor([&] { return Differences(Grab(sx.display(), kW, kH), Grab(vx.display(), kW, kH)) == 0; }, 20s))
      << "the viewer never showed the server's screen";

  std::string why;
  const std::string how = link->AddLoss(50, ORVANE_DROP_PROGRAM, &why);
  if (how.empty()) GTEST_SKIP() << "no way to drop packets on this kernel: " << why;
  std::printf("[measure] loss: 5%% made by %s\n", how.c_str());

  // A client draws for 5 s: many blocks, some of them lost.
  const auto start = Clock::now();
  for (int i = 0; MsSince(start) < 5000; ++i) {
    FillRootRectangle(sx.display(), (i * 37) % (kW - 30), 30 + (i * 23) % (kH - 60), 30, 30,
         0x010203ul * static_cast<unsigned long>(i % 80 + 1));
    std::this_thread::sleep_for(20ms);
  }
  std::this_thread::sleep_for(500ms);
  const long dropped = link->Counts().loss_drops;
  const long diff_during = Differences(Grab(sx.display(), kW, kH), Grab(vx.display(), kW, kH));
  std::printf("[measure] loss: %ld packets dropped; %ld pixels wrong before the go\n", dropped,
              diff_during);
  EXPECT_GT(dropped, 0) << "the loss dropped nothing; nothing was tested";

  // Loss removed, a refresh asked for: the picture is whole again.
  link->RemoveLoss();
  ASSERT_TRUE(Go(kServerAddress));
  const auto go = Clock::now();
  long diff = -1;
  EXPECT_TRUE(WaitFor([&] {
    diff = Differences(Grab(sx.display(), kW, kH), Grab(vx.display(), kW, kH));
    return diff == 0;
  }, 5s)) << diff << " pixels differ after the go";
  std::printf("[measure] loss: picture whole %.0f ms after the go\n", MsSince(go));
  EXPECT_TRUE(viewer->running());
  viewer->Kill(15);
  server.child().Kill(15);
  int status = -1;
  EXPECT_TRUE(server.child().Wait(10s, &status));
  EXPECT_EQ(status, 0);
}

// The same loss with a stream key on both sides: the viewer learns from the sequence numbers
// what the network lost (its socket loses nothing here) and asks for the refresh itself.
// Nobody sends a "go" and the healing cycle is off: only the viewer's own request heals.
TEST_F(Loss, AKeyedViewerCountsTheNetworksLossAndAsksForTheRefreshItself) {
  ASSERT_TRUE(SettingText(dir, "sreg", "StreamKey", "Klasse 7b"));
  ASSERT_TRUE(SettingText(dir, "vreg", "StreamKey", "Klasse 7b"));
  Server server(sx, dir, link->server().Prefix());
  ASSERT_TRUE(WaitForService(kServerAddress, 15s)) << server.Log();
  auto viewer = StartViewer(vx, dir, {kServerAddress, "fullscreen"});
  ASSERT_TRUE(WaitFor([&] { return Differences(Grab(sx.display(), kW, kH), Grab(vx.display(), kW, kH)) == 0; }, 20s))
      << "the viewer never showed the server's screen";

  std::string why;
  const std::string how = link->AddLoss(50, ORVANE_DROP_PROGRAM, &why);
  if (how.empty()) GTEST_SKIP() << "no way to drop packets on this kernel: " << why;
  const auto start = Clock::now();
  for (int i = 0; MsSince(start) < 3000; ++i) {
    FillRootRectangle(sx.display(), (i * 37) % (kW - 30), 30 + (i * 23) % (kH - 60), 30, 30,
                      0x030201ul * static_cast<unsigned long>(i % 80 + 1));
    std::this_thread::sleep_for(20ms);
  }
  std::this_thread::sleep_for(300ms);
  const long dropped = link->Counts().loss_drops;
  link->RemoveLoss();
  EXPECT_GT(dropped, 0) << "the loss dropped nothing; nothing was tested";
  // One datagram more after the loss, as any live server sends: a gap at the very end of
  // the stream shows only when something follows it.
  testsupport::Shell("DISPLAY=" + sx.display() + " xdotool mousemove 10 10");
  const auto healing = Clock::now();
  long diff = -1;
  EXPECT_TRUE(WaitFor([&] {
    diff = Differences(Grab(sx.display(), kW, kH), Grab(vx.display(), kW, kH));
    return diff == 0;
  }, 6s)) << diff << " pixels differ: the viewer did not ask for a refresh";
  std::printf("[measure] keyed loss: %ld packets dropped (%s); whole %.0f ms after the loss "
              "ended, with no go from outside\n", dropped, how.c_str(), MsSince(healing));
  viewer->Kill(15);
  int status = -1;
  EXPECT_TRUE(viewer->Wait(10s, &status));
  std::string log;
  testsupport::Run("cat '" + dir.path() + "'/viewer/glimt-*.log", &log);
  unsigned long long lost = 0, socket = 0;
  const std::size_t at = log.find("Stream key: "), received = log.find("Viewer received ");
  ASSERT_NE(at, std::string::npos) << log;
  ASSERT_NE(received, std::string::npos) << log;
  std::sscanf(log.c_str() + at, "Stream key: %llu", &lost);
  std::sscanf(log.c_str() + received, "Viewer received %*u datagrams; %*u blocks dropped by its "
              "queue, %llu", &socket);
  std::printf("[measure] keyed loss: the viewer counted %llu datagrams lost, its socket "
              "dropped %llu\n", lost, socket);
  EXPECT_GT(lost, 0u);
  EXPECT_LE(lost, static_cast<unsigned long long>(dropped) + socket);
}

}  // namespace

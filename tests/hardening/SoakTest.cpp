// Server and viewer running while a client keeps drawing: their resident memory at the end
// stays within 10 % of its value after the warm-up, and neither gains descriptors or
// threads. ORVANE_SOAK_SECONDS sets the length (default 60; scripts/soak.sh runs 600).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "tests/hardening/Harness.h"

using namespace std::chrono_literals;
using namespace hardening;
using testsupport::TempDir;
using testsupport::WaitFor;
using testsupport::Xvfb;

namespace {
constexpr int kW = 480, kH = 320;

int SoakSeconds() {
  const char* s = std::getenv("ORVANE_SOAK_SECONDS");
  const int n = s ? std::atoi(s) : 0;
  return n >= 20 ? n : 60;
}

void Print(const char* when, const char* who, const Resources& r) {
  std::printf("[measure] soak %s: %s RSS %ld KiB, %d fds, %d threads (%d of them Qt's pooled)\n",
              when, who, r.rss_kib, r.fds, r.threads, r.pooled);
}

TEST(Soak, MemoryDescriptorsAndThreadsStayFlatWhileAClientDraws) {
  REQUIRE_PRIVATE_NETWORK();
  const int total = SoakSeconds();
  // The first minute, or a quarter of a shorter run, is the warm-up.
  const int warm = total >= 240 ? 60 : total / 4;
  Xvfb sx(kW, kH, 24), vx(kW, kH, 24);
  ASSERT_TRUE(sx.ok() && vx.ok());
  Trayer trayer(sx);
  ASSERT_TRUE(trayer.ok()) << "trayer did not start";
  TempDir dir;
  Server server(sx, dir);
  ASSERT_TRUE(WaitForService("127.0.0.1", 15s)) << server.Log();
  auto viewer = StartViewer(vx, dir, {"127.0.0.1"});
  ASSERT_TRUE(WaitFor([&] { return Differences(Grab(sx.display(), kW, kH), Grab(vx.display(), kW, kH)) == 0; }, 20s));

  Resources s0, v0;
  const auto start = Clock::now();
  int drawn = 0, refreshes = 0;
  bool warmed = false;
  while (MsSince(start) < total * 1000.0) {
    // Rectangles of every size, now and then the whole screen, and a refresh every 10 s.
    const int w = 8 + (drawn * 53) % (kW - 8), h = 4 + (drawn * 29) % (kH / 2);
    FillRootRectangle(sx.display(), (drawn * 31) % (kW - w + 1), (drawn * 17) % (kH - h + 1), w, h,
         0x030507ul * static_cast<unsigned long>(drawn % 50 + 1));
    if (drawn % 200 == 199) FillRootRectangle(sx.display(), 0, 0, kW, kH, 0x204060);
    if (drawn % 250 == 0 && Go("127.0.0.1")) ++refreshes;
    ++drawn;
    std::this_thread::sleep_for(40ms);
    if (!warmed && MsSince(start) >= warm * 1000.0) {
      warmed = true;
      s0 = ResourcesOf(server.pid());
      v0 = ResourcesOf(viewer->pid());
      Print("after the warm-up", "varno", s0);
      Print("after the warm-up", "glimt", v0);
    }
    if (!server.running() || !viewer->running()) break;
  }
  ASSERT_TRUE(server.running()) << server.Log();
  ASSERT_TRUE(viewer->running());
  std::this_thread::sleep_for(1s);
  const Resources s1 = ResourcesOf(server.pid()), v1 = ResourcesOf(viewer->pid());
  Print("at the end", "varno", s1);
  Print("at the end", "glimt", v1);
  std::printf("[measure] soak: %d s, %d rectangles drawn, %d refreshes asked\n", total, drawn,
              refreshes);
  if (!kSanitizedBuild) {
    EXPECT_LE(s1.rss_kib, s0.rss_kib * 11 / 10);
    EXPECT_LE(v1.rss_kib, v0.rss_kib * 11 / 10);
  }
  EXPECT_LE(s1.own_fds(), s0.own_fds());
  EXPECT_LE(v1.own_fds(), v0.own_fds());
  EXPECT_LE(s1.own_threads(), s0.own_threads());
  EXPECT_LE(v1.own_threads(), v0.own_threads());
  // And what it shows is still right.
  EXPECT_TRUE(WaitFor([&] { return Differences(Grab(sx.display(), kW, kH), Grab(vx.display(), kW, kH)) == 0; }, 5s));
  viewer->Kill(15);
  server.child().Kill(15);
  int status = -1;
  EXPECT_TRUE(server.child().Wait(10s, &status));
  EXPECT_EQ(status, 0);
}

}  // namespace

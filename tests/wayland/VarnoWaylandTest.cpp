// varno on a private headless sway desktop, as a user of a Wayland session starts it: the
// screencopy source chosen by itself, the tray icon on swaybar's StatusNotifierItem host,
// and a receiver written from the datagram format alone on the group.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/Sway.h"
#include "tests/support/WaylandPainter.h"
#include "tests/support/WireReceiver.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using testsupport::Screenshot;
using testsupport::WaitFor;

constexpr int kWidth = 640, kHeight = 480;

// Pixels of the receiver's picture (B, G, R, 0) that differ from the shot; -1: no shot.
long Mismatches(const std::vector<uint8_t>& picture, const Screenshot& shot) {
  if (shot.width != kWidth || shot.height != kHeight) return -1;
  long n = 0;
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      const uint8_t* p = &picture[(static_cast<std::size_t>(y) * kWidth + x) * 4];
      n += ((uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0]) != shot.At(x, y) || p[3] != 0;
    }
  return n;
}

// CPU time (user + system) of a process in clock ticks.
long CpuTicks(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream rest(text.substr(close + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return utime + stime;
}

TEST(VarnoOnWayland, ReceiverRebuildsTheOutputAndNothingIsSentWhileIdle) {
  REQUIRE_PRIVATE_NETWORK();
  testsupport::SwaySession sway({kWidth, kHeight, /*bar=*/true, /*pipewire=*/false});
  ASSERT_TRUE(sway.ok()) << sway.error();
  // Full screen, so the bar does not change under the picture.
  testsupport::WaylandPainter painter(sway.wayland_socket(), kWidth, kHeight, true);
  ASSERT_TRUE(painter.ok());
  ASSERT_TRUE(painter.Pattern(41));

  testsupport::WireReceiver receiver("227.0.13.1", 10513, kWidth, kHeight);
  ASSERT_TRUE(receiver.ok());
  testsupport::TempDir dir;
  ASSERT_EQ(testsupport::Run("cp '" + testsupport::BinDir() + "/varno' '" +
                             testsupport::BinDir() + "/libhooks.so' '" + dir.path() + "/'"),
            0);
  std::vector<std::string> env = sway.ClientEnv();
  env.insert(env.end(), {"XDG_SESSION_TYPE=wayland", "QT_QPA_PLATFORM=wayland", "DISPLAY=",
                         "ORVANE_REGISTRY=" + (dir / "registry")});
  // Under AddressSanitizer: full stacks, so that what Qt's wayland plugin keeps for the life
  // of the process (allocated inside libwayland-client, which has no frame pointers) is
  // matched by its suppression.
  if (const char* asan = std::getenv("ASAN_OPTIONS"))
    env.push_back(std::string("ASAN_OPTIONS=") + asan + ":fast_unwind_on_malloc=0");
  testsupport::Child varno({dir / "varno", "227.0.13.1:10513"}, env, dir / "out.txt");
  auto log = [&] {
    std::string text;
    testsupport::Run("cat '" + dir.path() + "'/*.log '" + (dir / "out.txt") + "' 2>/dev/null", &text);
    return text;
  };

  // The first screen tick: the broadcast area, then the whole output as blocks.
  ASSERT_TRUE(WaitFor([&] { return receiver.Count(0) >= 1; }, milliseconds(15000))) << log();
  auto settled = [&] {
    return WaitFor([&] { return Clock::now() - receiver.last_datagram() > milliseconds(600); },
                   milliseconds(5000));
  };
  ASSERT_TRUE(settled());
  EXPECT_EQ(Mismatches(receiver.Picture(), sway.Grim()), 0) << log();
  EXPECT_EQ(receiver.bad(), 0);
  EXPECT_NE(log().find("Screen read through the compositor's screencopy"), std::string::npos)
      << "the Wayland session was not recognised\n" << log();

  // Drawing reaches the receiver through the compositor's damage.
  ASSERT_TRUE(painter.Fill(200, 100, 120, 90, 0x2080C0));
  long diff = -1;
  EXPECT_TRUE(WaitFor([&] { return (diff = Mismatches(receiver.Picture(), sway.Grim())) == 0; },
                      milliseconds(5000)))
      << diff << " pixels differ\n" << log();

  // At rest nothing is sent, and the server costs next to nothing.
  ASSERT_TRUE(settled());
  const int before[3] = {receiver.Count(0), receiver.Count(1), receiver.Count(2)};
  const long ticks0 = CpuTicks(varno.pid());
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(milliseconds(2000));
  const long ticks = CpuTicks(varno.pid()) - ticks0;
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  for (int kind = 0; kind < 3; ++kind)
    EXPECT_EQ(receiver.Count(kind), before[kind]) << "datagrams of kind " << kind << " at rest";
  // A figure, not a bound: 1 tick = 10 ms.
  const double percent = 100.0 * static_cast<double>(ticks) / sysconf(_SC_CLK_TCK) / seconds;
  RecordProperty("idle_server_cpu_percent_x100", static_cast<int>(percent * 100));
  std::printf("idle server CPU: %.2f %% of a core\n", percent);

  varno.Kill(SIGTERM);
  int status = -1;
  EXPECT_TRUE(varno.Wait(milliseconds(5000), &status));
  EXPECT_EQ(status, 0) << log();
}

}  // namespace

// Loss between two machines: the server in a network namespace of its own, joined to the
// viewer's (this test's private namespace) by a veth pair that lives wholly inside the two;
// 5 % of what the server sends is dropped (netem, or a tc program where the kernel has no
// netem) while a client draws. Once the loss is removed and a "go" is sent, the viewer's
// picture equals the server's screen again.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "tests/hardening/Harness.h"

using namespace std::chrono_literals;
using namespace hardening;
using testsupport::Run;
using testsupport::TempDir;
using testsupport::WaitFor;
using testsupport::Xvfb;

namespace {
constexpr int kW = 320, kH = 240;
const char kServerAddress[] = "10.77.0.2";

std::string NetNamespace(pid_t pid) {
  char link[256] = {};
  const std::string path = "/proc/" + std::to_string(pid) + "/ns/net";
  const ssize_t n = readlink(path.c_str(), link, sizeof link - 1);
  return n > 0 ? std::string(link, static_cast<std::size_t>(n)) : "";
}

// Runs a command inside the server's namespace.
int InServer(pid_t pid, const std::string& command, std::string* out = nullptr) {
  return Run("nsenter -t " + std::to_string(pid) + " -n sh -c '" + command + "' 2>&1", out);
}

// The loss on the server's side; returns how it was made, "" when it cannot be.
std::string AddLoss(pid_t pid, std::string* why) {
  std::string out;
  if (InServer(pid, "tc qdisc add dev vB root netem loss 5%", &out) == 0) return "netem";
  *why = "netem: " + out;
  const std::string program = ORVANE_DROP_PROGRAM;
  if (!program.empty() && access(program.c_str(), R_OK) == 0 &&
      InServer(pid, "tc qdisc add dev vB clsact && tc filter add dev vB egress bpf da obj " +
                        program + " sec classifier", &out) == 0)
    return "tc bpf program";
  *why += "; tc bpf: " + (program.empty() ? std::string("not built (no clang)") : out);
  return "";
}

long DroppedByLoss(pid_t pid) {
  std::string out;
  InServer(pid, "tc -s qdisc show dev vB", &out);
  long total = 0;
  for (std::size_t p = 0; (p = out.find("dropped ", p)) != std::string::npos; p += 8)
    total += std::atol(out.c_str() + p + 8);
  return total;
}

TEST(Loss, PictureIsWholeAgainAfterLossEndsAndAGo) {
  REQUIRE_PRIVATE_NETWORK();
  Xvfb sx(kW, kH, 24), vx(kW, kH, 24);
  ASSERT_TRUE(sx.ok() && vx.ok());
  Trayer trayer(sx);
  ASSERT_TRUE(trayer.ok()) << "trayer did not start";
  TempDir dir;

  // The server's namespace: its end of the pair appears, then varno starts there.
  const std::string setup =
      "for i in $(seq 200); do ip link show vB >/dev/null 2>&1 && break; sleep 0.05; done; "
      "ip link set lo up && ip addr add 10.77.0.2/24 dev vB && ip link set vB up && "
      "ip link set vB multicast on && ip route add 224.0.0.0/4 dev vB && exec \"$1\"";
  Server server(sx, dir, {"unshare", "-n", "sh", "-c", setup, "server-netns"});
  const std::string own = NetNamespace(getpid());
  ASSERT_TRUE(WaitFor([&] {
    const std::string ns = NetNamespace(server.pid());
    return !ns.empty() && ns != own;
  }, 5s)) << "the server's namespace did not appear";
  ASSERT_EQ(testsupport::Run("ip link add vA type veth peer name vB netns " + std::to_string(server.pid()) +
                " && ip addr add 10.77.0.1/24 dev vA && ip link set vA up && "
                "ip link set vA multicast on && ip route replace 224.0.0.0/4 dev vA"),
            0);
  ASSERT_TRUE(WaitForService(kServerAddress, 15s)) << server.Log();
  auto viewer = StartViewer(vx, dir, {kServerAddress});
  ASSERT_TRUE(WaitFor([&] { return Differences(Grab(sx.display(), kW, kH), Grab(vx.display(), kW, kH)) == 0; }, 20s))
      << "the viewer never showed the server's screen";

  std::string why;
  const std::string how = AddLoss(server.pid(), &why);
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
  const long dropped = DroppedByLoss(server.pid());
  const long diff_during = Differences(Grab(sx.display(), kW, kH), Grab(vx.display(), kW, kH));
  std::printf("[measure] loss: %ld packets dropped; %ld pixels wrong before the go\n", dropped,
              diff_during);
  EXPECT_GT(dropped, 0) << "the loss dropped nothing; nothing was tested";

  // Loss removed, a refresh asked for: the picture is whole again.
  InServer(server.pid(), how == "netem" ? "tc qdisc del dev vB root" : "tc qdisc del dev vB clsact");
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

}  // namespace

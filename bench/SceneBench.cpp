// The two scenes of a real desktop, measured on a real link: varno (from ORVANE_BIN_DIR, so
// any build can be measured) on a 1920x1080x24 Xvfb in a network namespace of its own, joined
// to this one by a veth pair (MTU 1500); a receiver here counts what arrives.
//   caret:    a full-screen window repaints itself whole 10 times a second while only a 10x20
//             caret blinks (twice a second); against the same caret drawn alone.
//   terminal: a full-screen terminal scrolls one line 10 times a second.
// Each second it notes the bytes on the link (the veth's counter: Ethernet, IP, UDP and
// fragment headers included), the UDP payload received, and varno's CPU time; it reports
// medians of the one-second figures. Run it through tests/netns-run; it refuses otherwise.
// Usage: scene_bench [seconds per scene, default 21]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

// Xlib names a type Region, as the platform layer does.
#define Region XlibRegion
#include <X11/Xlib.h>
#undef Region

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "Common/UpdateHeader.h"
#include "bench/BenchSupport.h"
#include "tests/hardening/Harness.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
constexpr int kW = 1920, kH = 1080;
const char kServer[] = "10.77.0.2";
const char kHere[] = "10.77.0.1";

// Every datagram of the group that reaches this end of the link, counted.
class Receiver {
 public:
  Receiver() {
    sock_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int one = 1, zero = 0, big = 8 << 20;
    setsockopt(sock_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(sock_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    setsockopt(sock_, IPPROTO_IP, IP_MULTICAST_ALL, &zero, sizeof zero);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(10510);
    ip_mreq m{};
    inet_aton("227.0.1.1", &m.imr_multiaddr);
    inet_aton(kHere, &m.imr_interface);
    ok_ = bind(sock_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
          setsockopt(sock_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) == 0;
    thread_ = std::thread([this] { Run(); });
  }
  ~Receiver() {
    stop_ = true;
    thread_.join();
    close(sock_);
  }
  bool ok() const { return ok_; }
  long payload() const { return payload_; }
  long blocks() const { return blocks_; }

 private:
  void Run() {
    std::vector<uint8_t> buffer(65536);
    while (!stop_) {
      pollfd p{sock_, POLLIN, 0};
      if (poll(&p, 1, 100) != 1) continue;
      const ssize_t n = recv(sock_, buffer.data(), buffer.size(), 0);
      UpdateHeader h;
      if (n <= 0 || !DecodeUpdateHeader(buffer.data(), static_cast<std::size_t>(n), h)) continue;
      payload_ += n;
      if (h.kind == UPDATE_BLOCK) ++blocks_;
    }
  }
  int sock_ = -1;
  bool ok_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<long> payload_{0}, blocks_{0};
  std::thread thread_;
};

// Bytes received on this end of the pair. From /proc/net/dev, which shows this process's
// network namespace (/sys shows the namespace it was mounted in).
long LinkBytes() {
  std::ifstream f("/proc/net/dev");
  std::string line;
  while (std::getline(f, line)) {
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos || line.substr(0, colon).find("vA") == std::string::npos) continue;
    return std::atol(line.c_str() + colon + 1);
  }
  return -1;
}

// utime + stime of a process, in seconds.
double CpuSeconds(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  const std::size_t close = s.rfind(')');
  if (close == std::string::npos) return -1;
  std::vector<std::string> fields;
  std::size_t p = close + 2;
  while (p < s.size()) {
    const std::size_t q = s.find(' ', p);
    fields.push_back(s.substr(p, q - p));
    if (q == std::string::npos) break;
    p = q + 1;
  }
  if (fields.size() < 13) return -1;  // fields[11], [12]: utime, stime (fields 14, 15)
  return (std::atof(fields[11].c_str()) + std::atof(fields[12].c_str())) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The scenes' window: full screen, text lines, and what each scene does every 100 ms.
class Scene {
 public:
  explicit Scene(const std::string& display) {
    d_ = XOpenDisplay(display.c_str());
    if (!d_) return;
    XSetWindowAttributes a{};
    a.override_redirect = True;
    a.background_pixel = 0xffffff;
    w_ = XCreateWindow(d_, DefaultRootWindow(d_), 0, 0, kW, kH, 0, CopyFromParent, InputOutput,
                       CopyFromParent, CWOverrideRedirect | CWBackPixel, &a);
    gc_ = XCreateGC(d_, w_, 0, nullptr);
    XMapRaised(d_, w_);
    XSync(d_, False);
  }
  ~Scene() {
    if (!d_) return;
    XFreeGC(d_, gc_);
    XDestroyWindow(d_, w_);
    XCloseDisplay(d_);
  }
  bool ok() const { return d_ != nullptr; }

  // The whole window: background, every line, the caret when shown.
  void PaintWhole(bool caret) {
    XSetForeground(d_, gc_, 0xffffff);
    XFillRectangle(d_, w_, gc_, 0, 0, kW, kH);
    XSetForeground(d_, gc_, 0x202020);
    for (int i = 0; i < kH / kLine; ++i) DrawLine(i, i);
    PaintCaret(caret);
  }
  void PaintCaret(bool on) {
    XSetForeground(d_, gc_, on ? 0x000000 : 0xffffff);
    XFillRectangle(d_, w_, gc_, 600, 12 * kLine, 10, 20);
    XFlush(d_);
  }
  // One line up, a new line at the bottom: what a terminal does for each line of output.
  void Scroll(int n) {
    XCopyArea(d_, w_, w_, gc_, 0, kLine, kW, kH - kLine, 0, 0);
    XSetForeground(d_, gc_, 0xffffff);
    XFillRectangle(d_, w_, gc_, 0, kH - kLine, kW, kLine);
    XSetForeground(d_, gc_, 0x202020);
    DrawLine(kH / kLine - 1, n);
    XFlush(d_);
  }
  void Sync() { XSync(d_, False); }

 private:
  static constexpr int kLine = 15;
  void DrawLine(int row, int n) {
    static const char text[] =
        "drwxr-xr-x  2 user user  4096 Dec  7 17:08 build-output-of-the-project  0123456789 "
        "make[2]: Entering directory; compiling server/Sampler.cpp -O2 -g1 -Wall -Wextra";
    const int len = 40 + (n * 37) % 120;
    XDrawString(d_, w_, gc_, 4, row * kLine + 12, text + n % 20, std::min<int>(len, static_cast<int>(sizeof text) - 1 - n % 20));
  }
  Display* d_ = nullptr;
  Window w_ = 0;
  GC gc_ = nullptr;
};

struct Figures {
  double link_per_s, payload_per_s, cpu_percent, blocks_per_s;
  double cpu_mean;  // over the whole scene: the clock-tick counters are coarse for one second
  long link_7s;  // bytes on the link in the first 7 seconds
};

// Runs step(tick) every 100 ms for `seconds`, noting the counters each second.
template <class Step>
Figures Measure(pid_t server, const Receiver& rx, int seconds, Step step) {
  // What the previous scene left in flight is not this scene's.
  std::this_thread::sleep_for(1s);
  std::vector<double> link, payload, cpu, blocks;
  const double cpu_start = CpuSeconds(server);
  long link0 = LinkBytes(), first = link0, pay0 = rx.payload(), blk0 = rx.blocks(), link_7s = 0;
  double cpu0 = CpuSeconds(server);
  auto t0 = Clock::now(), next = t0;
  int tick = 0;
  for (int s = 1; s <= seconds; ++s) {
    for (; next < t0 + std::chrono::seconds(s); next += 100ms) {
      std::this_thread::sleep_until(next);
      step(tick++);
    }
    std::this_thread::sleep_until(t0 + std::chrono::seconds(s));
    const long l = LinkBytes(), p = rx.payload(), b = rx.blocks();
    const double c = CpuSeconds(server);
    link.push_back(static_cast<double>(l - link0));
    payload.push_back(static_cast<double>(p - pay0));
    blocks.push_back(static_cast<double>(b - blk0));
    cpu.push_back(100.0 * (c - cpu0));
    if (s == 7) link_7s = l - first;
    link0 = l;
    pay0 = p;
    blk0 = b;
    cpu0 = c;
  }
  return Figures{Median(link), Median(payload), Median(cpu), Median(blocks),
                 100.0 * (CpuSeconds(server) - cpu_start) / seconds, link_7s};
}

void Report(const char* name, const Figures& f) {
  printf("%-18s link %10.0f B/s | payload %10.0f B/s | %6.0f blocks/s | varno CPU %5.1f %% of a core "
         "(mean %5.1f %%) | link in 7 s %9ld B\n",
         name, f.link_per_s, f.payload_per_s, f.blocks_per_s, f.cpu_percent, f.cpu_mean, f.link_7s);
  fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (!testsupport::InPrivateNetwork()) {
    fprintf(stderr, "scene_bench opens a link and multicasts: run it through tests/netns-run\n");
    return 2;
  }
  const int seconds = argc > 1 ? std::max(7, atoi(argv[1])) : 21;
  testsupport::Xvfb sx(kW, kH, 24);
  if (!sx.ok()) return 1;
  testsupport::Trayer trayer(sx);
  if (!trayer.ok()) return 1;
  testsupport::TempDir dir;
  // varno's namespace: its end of the pair appears, then varno starts there.
  const std::string setup =
      "for i in $(seq 200); do ip link show vB >/dev/null 2>&1 && break; sleep 0.05; done; "
      "ip link set lo up && ip addr add 10.77.0.2/24 dev vB && ip link set vB mtu 1500 up && "
      "ip link set vB multicast on && ip route add 224.0.0.0/4 dev vB && exec \"$1\"";
  hardening::Server server(sx, dir, {"unshare", "-n", "sh", "-c", setup, "server-netns"});
  std::this_thread::sleep_for(300ms);
  if (testsupport::Run("ip link add vA mtu 1500 type veth peer name vB netns " + std::to_string(server.pid()) +
                       " && ip addr add 10.77.0.1/24 dev vA && ip link set vA up && "
                       "ip link set vA multicast on && ip route replace 224.0.0.0/4 dev vA") != 0) {
    fprintf(stderr, "no veth pair\n");
    return 1;
  }
  if (!hardening::WaitForService(kServer, 15s)) {
    fprintf(stderr, "varno did not start:\n%s\n", server.Log().c_str());
    return 1;
  }
  Receiver rx;
  Scene scene(sx.display());
  if (!rx.ok() || !scene.ok()) return 1;
  printf("varno from %s, 1920x1080x24, veth MTU 1500, medians of %d one-second figures\n",
         testsupport::BinDir().c_str(), seconds);
  // Settle: the first full refresh and the scene's first paint are not measured.
  scene.PaintWhole(false);
  scene.Sync();
  // The paint must reach this end: a run where nothing arrives measures nothing.
  if (!testsupport::WaitFor([&] { return rx.blocks() > 0; }, 10s)) {
    fprintf(stderr, "nothing arrived from varno:\n%s\n", server.Log().c_str());
    return 1;
  }
  std::this_thread::sleep_for(2s);
  PrintMachine();
  Report("caret, whole window", Measure(server.pid(), rx, seconds, [&](int t) { scene.PaintWhole((t / 5) % 2 == 0); }));
  Report("caret alone", Measure(server.pid(), rx, seconds, [&](int t) {
           if (t % 5 == 0) scene.PaintCaret((t / 5) % 2 == 0);
         }));
  Report("terminal scrolling", Measure(server.pid(), rx, seconds, [&](int t) { scene.Scroll(t); }));
  PrintMachine();
  server.child().Kill(15);
  int status = -1;
  server.child().Wait(10s, &status);
  return 0;
}

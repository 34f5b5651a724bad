// The whole engine on a real X screen in a private network namespace: a client draws, the
// hook library reports it, the tracker and the sampler send it, a receiver decodes the
// multicast stream into a picture, which must equal the screen.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "Common/ClientSocket.h"
#include "Common/MulticastSocket.h"
#include "Common/UpdateHeader.h"
#include "hooks/hooks.h"
#include "platform/Region.h"
#include "platform/Screen.h"
#include "platform/Socket.h"
#include "platform/Thread.h"
#include "server/Rendezvous.h"
#include "server/Sampler.h"
#include "server/Sender.h"
#include "server/ServerState.h"
#include "server/Tracker.h"
#include "tests/support/TestSupport.h"

#define Region XlibRegion
#include <X11/Xlib.h>
#undef Region

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kWidth = 640, kHeight = 480;

// Decodes the stream as a viewer would, into a 32-bpp picture of the broadcast area.
class Receiver {
 public:
  Receiver() : picture_(static_cast<std::size_t>(kWidth) * kHeight * 4, 0xAB) {
    sock_ = OpenMulticastReceiver("227.0.1.1", 10510);
    if (sock_ != INVALID_SOCKET) thread_ = std::thread([this] { Run(); });
  }
  ~Receiver() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (sock_ != INVALID_SOCKET) CloseSocket(sock_);
  }
  bool ok() const { return sock_ != INVALID_SOCKET; }
  std::vector<uint8_t> Picture() {
    std::lock_guard<std::mutex> hold(lock_);
    return picture_;
  }
  int areas() const { return areas_; }
  Clock::time_point last_area() {
    std::lock_guard<std::mutex> hold(lock_);
    return last_area_;
  }
  int bad() const { return bad_; }
  bool PointerAt(int32_t x, int32_t y) {
    std::lock_guard<std::mutex> hold(lock_);
    return px_ == x && py_ == y;
  }

 private:
  void Run() {
    std::vector<uint8_t> buf(kReceiveBufferBytes), pixels(kDecodeBufferBytes);
    while (!stop_) {
      pollfd p{sock_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      ssize_t n = recv(sock_, buf.data(), buf.size(), 0);
      UpdateHeader h;
      if (n <= 0 || !DecodeUpdateHeader(buf.data(), static_cast<std::size_t>(n), h)) continue;
      if (static_cast<std::size_t>(n) != kUpdateHeaderBytes + h.length) {
        ++bad_;
        continue;
      }
      std::lock_guard<std::mutex> hold(lock_);
      if (h.kind == UPDATE_AREA) {
        ++areas_;
        last_area_ = Clock::now();
      } else if (h.kind == UPDATE_POINTER) {
        px_ = h.left;
        py_ = h.top;
      } else if (h.kind == UPDATE_BLOCK) {
        const int64_t w = int64_t{h.right} - h.left, rows = int64_t{h.bottom} - h.top;
        const int64_t s = ScanLineBytes(w, 32);
        uLongf out = kDecodeBufferBytes;
        if (uncompress(pixels.data(), &out, buf.data() + kUpdateHeaderBytes, h.length) != Z_OK ||
            static_cast<int64_t>(out) != s * rows) {
          ++bad_;
          continue;
        }
        for (int64_t y = 0; y < rows; ++y) {
          const int64_t sy = h.top + y;
          if (sy < 0 || sy >= kHeight) continue;
          for (int64_t x = 0; x < w; ++x) {
            const int64_t sx = h.left + x;
            if (sx < 0 || sx >= kWidth) continue;
            memcpy(&picture_[static_cast<std::size_t>((sy * kWidth + sx) * 4)],
                   &pixels[static_cast<std::size_t>(y * s + x * 4)], 4);
          }
        }
      }
    }
  }

  int sock_ = INVALID_SOCKET;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex lock_;
  std::vector<uint8_t> picture_;
  std::atomic<int> areas_{0}, bad_{0};
  Clock::time_point last_area_{};
  int32_t px_ = -1, py_ = -1;
};

std::vector<uint8_t> Screenshot(ScreenSource& screen) {
  std::vector<uint8_t> buf(static_cast<std::size_t>(kWidth) * kHeight * 4);
  EXPECT_TRUE(screen.Capture(Rect{0, 0, kWidth, kHeight}, buf.data(), kWidth * 4));
  return buf;
}

std::string Ask(const char* request) {
  int s = ConnectTo("127.0.0.1", kRendezvousPort);
  if (s == INVALID_SOCKET) return "<no connection>";
  SendBytes(s, request, static_cast<int>(strlen(request)));
  std::string reply;
  char b[300];
  ssize_t n;
  while ((n = recv(s, b, sizeof b, 0)) > 0) reply.append(b, static_cast<std::size_t>(n));
  CloseSocket(s);
  return reply;
}

TEST(EngineIntegration, DrawingReachesTheReceiverAndRefreshesOnRequest) {
  REQUIRE_PRIVATE_NETWORK();
  testsupport::Xvfb x(kWidth, kHeight, 24);
  ASSERT_TRUE(x.ok());
  setenv("DISPLAY", x.display().c_str(), 1);

  // Start-up as the server does it.
  ASSERT_NE(OpenServerScreen(), nullptr);
  g_dirty_region = new Region;
  g_mutex = new std::mutex;
  g_clip = ClipRect{0, 0, kWidth, kHeight};
  g_multicast_sock = OpenMulticastSender(g_port, "");
  ASSERT_NE(g_multicast_sock, INVALID_SOCKET);
  // Areas are counted as refreshes here: no healing cycle, which repeats the area.
  g_refresh_cycle = 0;
  ASSERT_TRUE(StartServerSender());
  ApplySendSettings();
  long rendezvous = 0, hook = 0;
  ASSERT_TRUE(StartThread(RendezvousThread, nullptr, &rendezvous));
  ASSERT_TRUE(StartThread(HookThread, nullptr, &hook));
  SetThreadPriorityOffset(hook, 5);
  ASSERT_NE(WM_Hooks_Install(hook, 0), 0);

  Receiver receiver;
  ASSERT_TRUE(receiver.ok());

  // The client draws before the first tick: the first full refresh must show it.
  Display* d = XOpenDisplay(x.display().c_str());
  ASSERT_NE(d, nullptr);
  Window root = DefaultRootWindow(d);
  GC gc = XCreateGC(d, root, 0, nullptr);
  auto fill = [&](int fx, int fy, int fw, int fh, unsigned long rgb) {
    XSetForeground(d, gc, rgb);
    XFillRectangle(d, root, gc, fx, fy, static_cast<unsigned>(fw), static_cast<unsigned>(fh));
  };
  for (int i = 0; i < 40; ++i) fill((i * 61) % 600, (i * 37) % 450, 40, 30, 0x010203u * static_cast<unsigned>(i * 6));
  XSync(d, False);

  // The timers of the main thread: screen every 50 ms, pointer in between.
  std::atomic<bool> stop{false};
  std::thread ticker([&] {
    while (!stop) {
      ScreenTick();
      std::this_thread::sleep_for(milliseconds(25));
      SendPointer();
      std::this_thread::sleep_for(milliseconds(25));
    }
  });
  auto screen = OpenX11Screen(x.display().c_str());
  ASSERT_TRUE(screen);
  auto matches = [&] { return receiver.Picture() == Screenshot(*screen); };

  EXPECT_TRUE(testsupport::WaitFor(matches, std::chrono::seconds(5))) << "after the first refresh";
  EXPECT_EQ(receiver.areas(), 1);

  // Further drawing travels hook -> tracker -> sampler without any refresh.
  for (int i = 0; i < 25; ++i) fill((i * 97) % 620, (i * 43) % 470, 17 + i, 9 + i, 0xFF0000u >> (i % 17));
  XSync(d, False);
  EXPECT_TRUE(testsupport::WaitFor(matches, std::chrono::seconds(5))) << "after further drawing";
  EXPECT_EQ(receiver.areas(), 1) << "changes go without a refresh";

  XWarpPointer(d, None, root, 0, 0, 0, 0, 321, 123);
  XSync(d, False);
  EXPECT_TRUE(testsupport::WaitFor([&] { return receiver.PointerAt(321, 123); }, std::chrono::seconds(3)));

  EXPECT_EQ(Ask("init\r\n"), "227.0.1.1:10510\r\n");
  EXPECT_EQ(receiver.areas(), 1);
  // Refreshes begin at most once a second; this one is asked for after that.
  std::this_thread::sleep_until(receiver.last_area() + std::chrono::seconds(1));
  const auto asked = Clock::now();
  EXPECT_EQ(Ask("go\r\n"), "");
  ASSERT_TRUE(testsupport::WaitFor([&] { return receiver.areas() == 2; }, std::chrono::seconds(3)));
  const auto delay = std::chrono::duration_cast<milliseconds>(receiver.last_area() - asked);
  EXPECT_GE(delay.count(), 190);
  EXPECT_LE(delay.count(), 600);
  RecordProperty("refresh_after_go_ms", static_cast<int>(delay.count()));
  EXPECT_TRUE(testsupport::WaitFor(matches, std::chrono::seconds(5))) << "after the requested refresh";
  EXPECT_EQ(receiver.bad(), 0) << "every datagram decodes";

  stop = true;
  ticker.join();
  WM_Hooks_Remove(hook);
  XFreeGC(d, gc);
  XCloseDisplay(d);
}

}  // namespace

// The stream key end to end, in private network namespaces: the real varno and glimt with a
// key, a third host of the same link that forges, replays and alters datagrams; old viewers
// on a keyed stream and keyed viewers on an old one; and the loss count that the sequence
// numbers give a viewer (a test-side server that skips numbers, a socket that overflows).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Common/StreamKey.h"
#include "Common/UpdateHeader.h"
#include "tests/glimt/NetTestSupport.h"
#include "tests/hardening/Harness.h"
#include "tests/support/NetTopology.h"

using namespace std::chrono_literals;
using namespace hardening;
using testsupport::ServerLink;
using testsupport::TempDir;
using testsupport::WaitFor;
using testsupport::Xvfb;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr int kW = 640, kH = 480;
const std::string kPassphrase = "Klasse 7b, Raum 112";

StreamKey Derived(const std::string& passphrase) {
  StreamKey key;
  EXPECT_TRUE(key.Derive(passphrase.data(), passphrase.size()));
  return key;
}

Bytes Sealed(Bytes d, const StreamKey& key, uint64_t session, uint64_t sequence) {
  const std::size_t n = d.size();
  d.resize(n + kStreamTrailerBytes);
  AppendStreamTrailer(key, d.data(), n, session, sequence);
  return d;
}

uint64_t Get64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v |= uint64_t{p[i]} << (8 * i);
  return v;
}

Bytes SolidBlock(int32_t l, int32_t t, int32_t r, int32_t b, uint32_t rgb) {
  Bytes raw;
  for (int64_t i = 0; i < int64_t{r - l} * (b - t); ++i)
    raw.insert(raw.end(), {static_cast<uint8_t>(rgb), static_cast<uint8_t>(rgb >> 8),
                           static_cast<uint8_t>(rgb >> 16), 0});
  return glimttest::Block(l, t, r, b, glimttest::Compress(raw));
}

std::string PointerOf(const Xvfb& x) {
  const std::string out = testsupport::Shell("DISPLAY=" + x.display() + " xdotool getmouselocation");
  return out.substr(0, out.find(" screen"));
}

void MovePointer(const Xvfb& x, int px, int py) {
  testsupport::Shell("DISPLAY=" + x.display() + " xdotool mousemove " + std::to_string(px) +
                     " " + std::to_string(py));
}

std::string ViewerLog(const TempDir& dir) {
  return testsupport::Shell("cat '" + dir.path() + "'/viewer/glimt-*.log 2>/dev/null");
}

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

bool SameScreens(const Xvfb& a, const Xvfb& b, std::chrono::milliseconds limit,
                 long* last = nullptr) {
  long diff = -1;
  const bool same = WaitFor([&] {
    diff = Differences(Grab(a.display(), kW, kH), Grab(b.display(), kW, kH));
    return diff == 0;
  }, limit);
  if (last) *last = diff;
  return same;
}

// The group's datagrams as a host of the LAN receives them, on a thread of its own.
class Capture {
 public:
  explicit Capture(int sock) : sock_(sock) {
    const int on = 1, off = 0;
    setsockopt(sock_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(sock_, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(10510);
    ip_mreq join{};
    inet_aton("227.0.1.1", &join.imr_multiaddr);
    ok_ = bind(sock_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
          setsockopt(sock_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) == 0;
    thread_ = std::thread([this] {
      Bytes buffer(65536);
      while (!stop_) {
        pollfd p{sock_, POLLIN, 0};
        if (poll(&p, 1, 50) != 1) continue;
        const ssize_t n = recv(sock_, buffer.data(), buffer.size(), 0);
        if (n <= 0) continue;
        std::lock_guard<std::mutex> hold(mutex_);
        got_.emplace_back(buffer.begin(), buffer.begin() + n);
      }
    });
  }
  ~Capture() {
    stop_ = true;
    thread_.join();
    close(sock_);
  }
  bool ok() const { return ok_; }
  std::vector<Bytes> Take() {
    std::lock_guard<std::mutex> hold(mutex_);
    return std::move(got_);
  }

 private:
  int sock_;
  bool ok_ = false;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<Bytes> got_;
  std::thread thread_;
};

// Sends to the group from a socket of its own, not to itself.
class Forger {
 public:
  explicit Forger(int sock) : sock_(sock) {
    const unsigned char off = 0;
    setsockopt(sock_, IPPROTO_IP, IP_MULTICAST_LOOP, &off, sizeof off);
    to_.sin_family = AF_INET;
    to_.sin_port = htons(10510);
    inet_aton("227.0.1.1", &to_.sin_addr);
  }
  ~Forger() { close(sock_); }
  // Each datagram `times` times; returns how many went.
  int Send(const std::vector<Bytes>& datagrams, int times) {
    int sent = 0;
    for (int i = 0; i < times; ++i)
      for (const Bytes& d : datagrams)
        sent += sendto(sock_, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to_),
                       sizeof to_) == static_cast<ssize_t>(d.size());
    return sent;
  }

 private:
  int sock_;
  sockaddr_in to_{};
};

// The first datagram of a capture that is of `kind`, covers (x, y) (blocks) or points there
// (pointers), and carries a trailer.
Bytes Find(const std::vector<Bytes>& got, uint16_t kind, int x, int y) {
  for (const Bytes& d : got) {
    UpdateHeader h;
    if (!DecodeUpdateHeader(d.data(), d.size(), h) || h.kind != kind ||
        d.size() != kUpdateHeaderBytes + h.length + kStreamTrailerBytes)
      continue;
    const bool hit = kind == UPDATE_POINTER ? h.left == x && h.top == y
                                            : x >= h.left && x < h.right && y >= h.top && y < h.bottom;
    if (hit) return d;
  }
  return {};
}

Bytes Flipped(Bytes d, std::size_t byte, int bit) {
  d[byte] ^= static_cast<uint8_t>(1 << bit);
  return d;
}

// The real varno and glimt, each on a display of its own.
class KeyedStream : public testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_NETWORK();
    ASSERT_TRUE(sx.ok() && vx.ok());
    ASSERT_TRUE(trayer.ok()) << "trayer did not start";
  }
  Xvfb sx{kW, kH, 24}, vx{kW, kH, 24};
  Trayer trayer{sx};
  TempDir dir;
};

TEST_F(KeyedStream, ForgeriesFromAThirdHostChangeNothingWhileTheRealStreamShows) {
  const auto start = Clock::now();
  ServerLink link(true);
  ASSERT_TRUE(link.ok()) << link.error();
  testsupport::NetNamespace* third = link.AddThirdHost();
  ASSERT_NE(third, nullptr) << link.error();
  // Without the healing cycle a forged change would stay on the screen: nothing hides it.
  ASSERT_TRUE(ServerSetting(dir, "RefreshCycle", 0));
  ASSERT_TRUE(SettingText(dir, "sreg", "StreamKey", kPassphrase));
  ASSERT_TRUE(SettingText(dir, "vreg", "StreamKey", kPassphrase));
  Capture capture(third->Socket(SOCK_DGRAM));
  ASSERT_TRUE(capture.ok());
  Server server(sx, dir, link.server().Prefix());
  ASSERT_TRUE(WaitForService(ServerLink::kServerAddress, 15s)) << server.Log();
  auto viewer = StartViewer(vx, dir, {ServerLink::kServerAddress, "fullscreen"});
  ASSERT_TRUE(SameScreens(sx, vx, 20s)) << "the viewer never showed the server's screen";
  // The viewer's two requests (start, first size) make the server refresh twice, a second
  // apart: the second must not come while the forgeries are judged, or it would hide them.
  std::this_thread::sleep_for(1200ms);

  // What the third host records of the real stream: a pointer at (100, 100) and a green
  // square, both since replaced.
  capture.Take();
  MovePointer(sx, 100, 100);
  ASSERT_TRUE(WaitFor([&] { return PointerOf(vx) == "x:100 y:100"; }, 5s)) << PointerOf(vx);
  ASSERT_TRUE(FillRootRectangle(sx.display(), 40, 40, 60, 60, 0x00C000));
  ASSERT_TRUE(SameScreens(sx, vx, 5s));
  std::this_thread::sleep_for(200ms);
  const std::vector<Bytes> recorded = capture.Take();
  const Bytes pointer = Find(recorded, UPDATE_POINTER, 100, 100);
  const Bytes green = Find(recorded, UPDATE_BLOCK, 70, 70);
  ASSERT_FALSE(pointer.empty()) << recorded.size() << " datagrams recorded";
  ASSERT_FALSE(green.empty()) << recorded.size() << " datagrams recorded";
  MovePointer(sx, 400, 300);
  ASSERT_TRUE(FillRootRectangle(sx.display(), 40, 40, 60, 60, 0x0000C0));
  ASSERT_TRUE(WaitFor([&] { return PointerOf(vx) == "x:400 y:300"; }, 5s)) << PointerOf(vx);
  ASSERT_TRUE(SameScreens(sx, vx, 5s));

  // 20 of each: without a key, with another key (in a newer session than the server's),
  // replayed as recorded, and with one bit changed in the header, the payload, the session,
  // the sequence number or the tag.
  const Bytes red = SolidBlock(200, 150, 300, 250, 0xFF0000);
  const Bytes away = glimttest::Header(UPDATE_POINTER, 0, 142, 77, 0, 0);
  const StreamKey other = Derived("Klasse 7c, Raum 112");
  const uint64_t newer = Get64(pointer.data() + kUpdateHeaderBytes) + 1000;
  const std::size_t trailer = green.size() - kStreamTrailerBytes;
  const std::vector<std::pair<const char*, std::vector<Bytes>>> forgeries = {
      {"no key", {away, red}},
      {"another key", {Sealed(away, other, newer, 0), Sealed(red, other, newer, 1)}},
      {"replayed", {pointer, green}},
      {"one bit changed", {Flipped(pointer, 4, 5), Flipped(green, kUpdateHeaderBytes + 9, 0),
                           Flipped(green, trailer + 7, 6), Flipped(green, trailer + 8, 3),
                           Flipped(pointer, pointer.size() - 1, 7)}},
  };
  capture.Take();
  Forger forger(third->Socket(SOCK_DGRAM));
  int forged = 0;
  for (const auto& [what, datagrams] : forgeries) {
    const int sent = forger.Send(datagrams, 20);
    EXPECT_EQ(sent, 20 * static_cast<int>(datagrams.size())) << what;
    forged += sent;
  }
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(PointerOf(vx), "x:400 y:300") << "a forged pointer moved the viewer's";
  long diff = -1;
  EXPECT_TRUE(SameScreens(sx, vx, 0ms, &diff)) << diff << " pixels changed by the forgeries";
  // Nothing of the server's could have painted over a forgery meanwhile.
  for (const Bytes& d : capture.Take()) EXPECT_NE(d[0], UPDATE_AREA) << "a refresh came";

  // The real stream goes on: a change shows exactly.
  ASSERT_TRUE(FillRootRectangle(sx.display(), 300, 200, 80, 40, 0xE0E000));
  EXPECT_TRUE(SameScreens(sx, vx, 5s, &diff)) << diff << " pixels differ after a real change";

  viewer->Kill(15);
  int status = -1;
  EXPECT_TRUE(viewer->Wait(10s, &status));
  EXPECT_EQ(status, 0);
  const std::string vlog = ViewerLog(dir), slog = server.LogFile();
  // One burst, one line, naming the first reason and the forger.
  EXPECT_EQ(Count(vlog, "Dropping datagrams"), 1) << vlog;
  EXPECT_NE(vlog.find(std::string(StreamDropText(StreamVerdict::kNoTrailer)) + " (the first from " +
                      ServerLink::kThirdAddress + ":"), std::string::npos) << vlog;
  EXPECT_NE(vlog.find("Stream key: 0 datagrams of the stream never arrived, " +
                      std::to_string(forged) + " refused"), std::string::npos) << vlog;
  EXPECT_NE(slog.find("Stream key in use"), std::string::npos) << slog;
  for (const std::string& log : {vlog, slog, server.Log()})
    EXPECT_EQ(log.find("Raum 112"), std::string::npos) << "the passphrase in a log:\n" << log;
  std::printf("[measure] stream key: %d forged datagrams refused; case %.1f s\n", forged,
              MsSince(start) / 1000);
}

// A viewer of before the key (or without one) reads nothing past 20 + length: it shows a
// keyed stream exactly, and its pointer follows.
TEST_F(KeyedStream, AViewerWithoutTheKeyShowsAKeyedStreamExactly) {
  ASSERT_TRUE(SettingText(dir, "sreg", "StreamKey", kPassphrase));
  ASSERT_TRUE(testsupport::DrawTerminals(sx.display(), 3));
  Server server(sx, dir);
  ASSERT_TRUE(WaitForService("127.0.0.1", 15s)) << server.Log();
  auto viewer = StartViewer(vx, dir, {"127.0.0.1", "fullscreen"});
  long diff = -1;
  EXPECT_TRUE(SameScreens(sx, vx, 20s, &diff)) << diff << " pixels differ";
  MovePointer(sx, 321, 123);
  EXPECT_TRUE(WaitFor([&] { return PointerOf(vx) == "x:321 y:123"; }, 5s)) << PointerOf(vx);
  EXPECT_NE(server.LogFile().find("Stream key in use"), std::string::npos) << server.Log();
  EXPECT_EQ(Count(ViewerLog(dir), "Stream key"), 0) << ViewerLog(dir);
}

// A keyed viewer takes nothing of an unkeyed server, whose area comes every second: no
// window, no picture, and the reason once in its log.
TEST_F(KeyedStream, AKeyedViewerShowsNothingOfAnUnkeyedStreamAndSaysWhyOnce) {
  ASSERT_TRUE(SettingText(dir, "vreg", "StreamKey", kPassphrase));
  Server server(sx, dir);
  ASSERT_TRUE(WaitForService("127.0.0.1", 15s)) << server.Log();
  const testsupport::Screenshot before = Grab(vx.display(), kW, kH);
  auto viewer = StartViewer(vx, dir, {"127.0.0.1", "fullscreen"});
  const std::string line = StreamDropText(StreamVerdict::kNoTrailer);
  ASSERT_TRUE(WaitFor([&] { return ViewerLog(dir).find(line) != std::string::npos; }, 10s))
      << ViewerLog(dir);
  std::this_thread::sleep_for(3s);  // three more areas, a refresh and its blocks
  const std::string log = ViewerLog(dir);
  EXPECT_EQ(Count(log, "Dropping datagrams"), 1) << log;
  // On lo the kernel gives multicast no source address: 0.0.0.0 and the server's port.
  EXPECT_NE(log.find(line + " (the first from 0.0.0.0:10510)"), std::string::npos) << log;
  EXPECT_EQ(testsupport::VisibleWindow(vx.display(), "Orvane GLIMT"), "");
  EXPECT_EQ(Differences(before, Grab(vx.display(), kW, kH)), 0);
  EXPECT_TRUE(viewer->running());
  EXPECT_EQ(log.find("Raum 112"), std::string::npos) << log;
}

// A viewer that cannot derive its key (no memory for Argon2id, here under a data limit that
// leaves it its usual 20 MB) ends with the condition report instead of showing the stream
// unchecked.
TEST(KeyedViewer, WhoseKeyCannotBeDerivedEndsWithTheReport) {
  REQUIRE_PRIVATE_NETWORK();
  if (kSanitizedBuild) GTEST_SKIP() << "a sanitizer's shadow memory does not fit the limit";
  Xvfb vx(320, 240, 24);
  ASSERT_TRUE(vx.ok());
  TempDir dir;
  ASSERT_TRUE(SettingText(dir, "vreg", "StreamKey", kPassphrase));
  glimttest::FakeRendezvous service;
  ASSERT_TRUE(service.ok());
  auto viewer = StartViewer(vx, dir, {"127.0.0.1"}, {"prlimit", "--data=" + std::to_string(64 << 20)});
  ASSERT_TRUE(WaitFor([&] {
    return !testsupport::VisibleWindow(vx.display(), "Internal Error").empty();
  }, 10s)) << "no condition box; log:\n" << ViewerLog(dir);
  testsupport::KeyInto(vx.display(), "Internal Error", "Return");
  int status = -1;
  ASSERT_TRUE(viewer->Wait(10s, &status));
  EXPECT_EQ(status, 1);
  const std::string log = ViewerLog(dir);
  EXPECT_NE(log.find("ASSERT(key.Derive(text, bytes)) failed ERROR: Cannot allocate memory"),
            std::string::npos) << log;
  EXPECT_EQ(service.gos(), 0) << "the viewer went on to receive";
}

// A test-side server with the key: its sequence numbers skip three, then the viewer is
// stopped while a flood overflows its socket. The viewer asks for a refresh when the numbers
// skip (and not before), and its count of what never arrived is exactly the skipped numbers
// plus what its socket dropped: the socket's drops are not counted a second time.
TEST(KeyedViewer, SequenceGapsAskForARefreshAndCountTheLossExactlyOnce) {
  REQUIRE_PRIVATE_NETWORK();
  constexpr int kVW = 320, kVH = 240;
  Xvfb vx(kVW, kVH, 24);
  ASSERT_TRUE(vx.ok());
  TempDir dir;
  ASSERT_TRUE(SettingText(dir, "vreg", "StreamKey", kPassphrase));
  glimttest::FakeRendezvous service;
  ASSERT_TRUE(service.ok());
  glimttest::Sender out("227.0.1.1", 10510);
  const StreamKey key = Derived(kPassphrase);
  const uint64_t session = MakeSessionNumber(1700000000000, 5);
  uint64_t sequence = 0;
  auto send = [&](const Bytes& d) { out.Send(Sealed(d, key, session, sequence++)); };

  auto viewer = StartViewer(vx, dir, {"127.0.0.1", "fullscreen"});
  ASSERT_TRUE(WaitFor([&] { return service.gos() >= 1; }, 10s)) << ViewerLog(dir);
  send(glimttest::Header(UPDATE_AREA, 0, 0, 0, kVW, kVH));
  for (int t = 0; t < kVH; t += 40) send(glimttest::PatternBlock(0, t, kVW, t + 40));
  ASSERT_TRUE(WaitFor([&] {
    return Grab(vx.display(), kVW, kVH).At(317, 237) == glimttest::PatternPixel(317, 237);
  }, 5s)) << "the keyed picture did not show";
  // Start-up and the window's first size ask once each; what follows has no gap and asks
  // nothing, also once the 3 s that hold back a loss's request have passed.
  ASSERT_TRUE(WaitFor([&] { return service.gos() >= 2; }, 3s));
  for (int i = 0; i < 35; ++i) {
    send(glimttest::PatternBlock(0, 0, 40, 40));
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(service.gos(), 2) << "a request without a loss";
  sequence += 3;  // never sent: lost on the way
  send(glimttest::PatternBlock(0, 0, 40, 40));
  const auto gap = Clock::now();
  EXPECT_TRUE(WaitFor([&] { return service.gos() == 3; }, 2s)) << "the gap asked for nothing";
  std::printf("[measure] stream key: refresh asked %.0f ms after a gap\n", MsSince(gap));

  // The socket overflows while the viewer is stopped: large areas, ignored once shown.
  viewer->Kill(SIGSTOP);
  const Bytes large = glimttest::Header(UPDATE_AREA, 60000, 0, 0, kVW, kVH);
  Bytes area = large;
  area.resize(kUpdateHeaderBytes + 60000, 0x5A);
  for (int i = 0; i < 1000; ++i) send(area);
  viewer->Kill(SIGCONT);
  std::this_thread::sleep_for(1s);
  send(glimttest::Header(UPDATE_AREA, 0, 0, 0, kVW, kVH));  // the gap is seen at the next one
  std::this_thread::sleep_for(500ms);
  viewer->Kill(15);
  int status = -1;
  ASSERT_TRUE(viewer->Wait(10s, &status));
  EXPECT_EQ(status, 0);
  const std::string log = ViewerLog(dir);
  unsigned long long received = 0, queue = 0, socket = 0, lost = 0, refused = 0;
  const std::size_t at = log.find("Viewer received ");
  const std::size_t key_at = log.find("Stream key: ");
  ASSERT_NE(at, std::string::npos) << log;
  ASSERT_NE(key_at, std::string::npos) << log;
  ASSERT_EQ(std::sscanf(log.c_str() + at, "Viewer received %llu datagrams; %llu blocks dropped by "
                        "its queue, %llu datagrams by the socket", &received, &queue, &socket), 3);
  ASSERT_EQ(std::sscanf(log.c_str() + key_at, "Stream key: %llu datagrams of the stream never "
                        "arrived, %llu refused", &lost, &refused), 2);
  std::printf("[measure] stream key: %llu sent, %llu received, %llu dropped by the socket, "
              "%llu counted lost\n", static_cast<unsigned long long>(sequence), received, socket,
              lost);
  EXPECT_GT(socket, 0u) << "the socket dropped nothing; the overflow was not tested";
  EXPECT_EQ(lost, 3 + socket);
  EXPECT_EQ(received + lost, sequence);
  EXPECT_EQ(refused, 0u);
  EXPECT_EQ(queue, 0u);
}

}  // namespace

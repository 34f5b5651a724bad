// The real glimt fed by the real varno while a hostile sender floods the group's port, in a
// private network namespace: malformed and random datagrams must change nothing on the
// screen; a flood of well-formed blocks faster than the viewer paints must keep its memory
// bounded, and once the viewer catches up it must ask for a full refresh by itself.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Common/UpdateHeader.h"
#include "glimt/BlockQueue.h"
#include "tests/hardening/Harness.h"

using namespace std::chrono_literals;
using namespace hardening;
using testsupport::TempDir;
using testsupport::WaitFor;
using testsupport::Xvfb;

namespace {
constexpr int kW = 320, kH = 240;

std::string Header(uint16_t kind, uint16_t length, int32_t l, int32_t t, int32_t r, int32_t b) {
  uint8_t out[kUpdateHeaderBytes];
  EncodeUpdateHeader(UpdateHeader{kind, length, l, t, r, b}, out);
  return std::string(reinterpret_cast<char*>(out), sizeof out);
}

std::string Deflate(const std::vector<uint8_t>& pixels, int level = 9) {
  uLongf n = compressBound(pixels.size());
  std::string z(n, '\0');
  compress2(reinterpret_cast<Bytef*>(z.data()), &n, pixels.data(), pixels.size(), level);
  z.resize(n);
  return z;
}

// A block of one colour at 32 bpp, as a server would send it.
std::string SolidBlock(int32_t l, int32_t t, int32_t r, int32_t b, uint8_t value) {
  const std::vector<uint8_t> pixels(
      static_cast<std::size_t>(ScanLineBytes(r - l, 32) * (b - t)), value);
  const std::string z = Deflate(pixels);
  return Header(UPDATE_BLOCK, static_cast<uint16_t>(z.size()), l, t, r, b) + z;
}

// A block of noise stored uncompressed: a datagram of nearly 64 KiB, the worst case for the
// queue's memory.
std::string NoiseBlock(int32_t l, int32_t t, int32_t r, int32_t b, std::mt19937& rng) {
  std::vector<uint8_t> pixels(static_cast<std::size_t>(ScanLineBytes(r - l, 32) * (b - t)));
  for (uint8_t& p : pixels) p = static_cast<uint8_t>(rng());
  const std::string z = Deflate(pixels, 0);
  return Header(UPDATE_BLOCK, static_cast<uint16_t>(z.size()), l, t, r, b) + z;
}

// What the viewer must refuse, and random bytes.
std::vector<std::string> MalformedDatagrams(std::mt19937& rng) {
  std::vector<std::string> out;
  const std::string good = SolidBlock(10, 10, 60, 40, 0x77);
  out.push_back("");                                  // empty
  out.push_back(good.substr(0, 7));                   // shorter than a header
  out.push_back(good.substr(0, 19));
  out.push_back(Header(3, 0, 0, 0, 10, 10));          // unknown kinds
  out.push_back(Header(0xFFFF, 0, 0, 0, 10, 10));
  out.push_back(good.substr(0, good.size() - 3));     // length runs past the bytes received
  std::string cut = good;
  cut[2] = static_cast<char>(0xFF);                   // length field far too big
  cut[3] = static_cast<char>(0xFF);
  out.push_back(cut);
  out.push_back(Header(UPDATE_BLOCK, 0, 50, 50, 40, 60));        // inverted
  out.push_back(Header(UPDATE_BLOCK, 0, 50, 50, 50, 60));        // zero width
  out.push_back(Header(UPDATE_BLOCK, 0, 0, 0, 100000, 100000));  // past the decode buffer
  out.push_back(Header(UPDATE_BLOCK, 0, INT_MIN, INT_MIN, INT_MAX, INT_MAX));
  std::string damaged = good;                          // a damaged stream
  for (std::size_t i = kUpdateHeaderBytes + 2; i < damaged.size(); i += 3) damaged[i] ^= 0x5A;
  out.push_back(damaged);
  // A stream that stops half way: nothing of it may be shown.
  const std::vector<uint8_t> pixels(static_cast<std::size_t>(ScanLineBytes(50, 32) * 30), 0x33);
  std::string z = Deflate(pixels).substr(0, 12);
  out.push_back(Header(UPDATE_BLOCK, static_cast<uint16_t>(z.size()), 100, 100, 150, 130) + z);
  out.push_back(Header(UPDATE_AREA, 0, 0, 0, 0, 0));              // areas: ignored once shown
  out.push_back(Header(UPDATE_AREA, 0, 0, 0, 800, 600));
  out.push_back(Header(UPDATE_AREA, 0, 5, 5, -5, -5));
  out.push_back(Header(UPDATE_POINTER, 0, INT_MIN, INT_MAX, 0, 0));  // absurd pointers
  out.push_back(Header(UPDATE_POINTER, 0, INT_MAX, INT_MIN, 0, 0));
  for (int i = 0; i < 64; ++i) {  // random bytes, some with a block's kind
    std::string r(std::uniform_int_distribution<int>(0, i < 8 ? 60000 : 1400)(rng), '\0');
    for (char& c : r) c = static_cast<char>(rng());
    if (i % 2 && r.size() >= 2) r[0] = 2, r[1] = 0;
    out.push_back(r);
  }
  return out;
}

class Flood {
 public:
  Flood() {
    sock_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    to_.sin_family = AF_INET;
    to_.sin_port = htons(10510);
    inet_aton("227.0.1.1", &to_.sin_addr);
  }
  ~Flood() { close(sock_); }
  bool Send(const std::string& d) {
    return sendto(sock_, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&to_), sizeof to_) ==
           static_cast<ssize_t>(d.size());
  }
 private:
  int sock_ = -1;
  sockaddr_in to_{};
};

class HostileStream : public testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_NETWORK();
    ASSERT_TRUE(sx.ok() && vx.ok());
    ASSERT_TRUE(trayer.ok()) << "trayer did not start";
    server = std::make_unique<Server>(sx, dir);
    ASSERT_TRUE(WaitForService("127.0.0.1", 15s)) << server->Log();
    viewer = StartViewer(vx, dir, {"127.0.0.1"});
    ASSERT_TRUE(ShowsServer(20s)) << "the viewer never showed the server's screen";
  }
  void TearDown() override {
    if (viewer) {
      viewer->Kill(15);
      int status = -1;
      EXPECT_TRUE(viewer->Wait(10s, &status));
      EXPECT_EQ(status, 0);
    }
  }

  // The viewer's screen equals the server's (the window covers the viewer's whole screen).
  bool ShowsServer(std::chrono::milliseconds limit, long* last_diff = nullptr) {
    long diff = -1;
    const bool same = WaitFor([&] {
      diff = Differences(Grab(sx.display(), kW, kH), Grab(vx.display(), kW, kH));
      return diff == 0;
    }, limit);
    if (last_diff) *last_diff = diff;
    return same;
  }

  // Milliseconds until a change drawn on the server shows on the viewer.
  double ChangeLatency(unsigned long pixel) {
    const auto start = Clock::now();
    if (!FillRootRectangle(sx.display(), 30, 150, 40, 30, pixel)) return -1;
    const uint32_t want = static_cast<uint32_t>(pixel) & 0xFFFFFF;
    if (!WaitFor([&] { return Grab(vx.display(), kW, kH).At(50, 165) == want; }, 5s)) return -1;
    return MsSince(start);
  }

  Xvfb sx{kW, kH, 24}, vx{kW, kH, 24};
  Trayer trayer{sx};
  TempDir dir;
  std::unique_ptr<Server> server;
  std::unique_ptr<testsupport::Child> viewer;
};

// Pixels that differ outside the given rectangles.
long DifferencesOutside(const Screenshot& a, const Screenshot& b,
                        const std::vector<std::array<int, 4>>& skip) {
  if (Differences(a, b) < 0) return -1;
  long n = 0;
  for (int y = 0; y < a.height; ++y)
    for (int x = 0; x < a.width; ++x) {
      bool skipped = false;
      for (const auto& r : skip)
        skipped |= x >= r[0] && y >= r[1] && x < r[0] + r[2] && y < r[1] + r[3];
      n += !skipped && a.At(x, y) != b.At(x, y);
    }
  return n;
}

TEST_F(HostileStream, MalformedAndRandomDatagramsChangeNothing) {
  std::mt19937 rng(7);
  const std::vector<std::string> bad = MalformedDatagrams(rng);
  // Settled before counting: a full repaint has started the toolkit's pooled painting
  // threads (and their descriptors), which live on for 30 s after use.
  EXPECT_GE(ChangeLatency(0x445566), 0);
  ASSERT_TRUE(Go("127.0.0.1"));
  std::this_thread::sleep_for(1s);
  const Resources before = ResourcesOf(viewer->pid());
  long peak_kib = before.rss_kib;
  Flood flood;
  std::vector<std::array<int, 4>> drawn;
  const auto start = Clock::now();
  int sent = 0, round = 0;
  // Bounded: at most 5 s and 200,000 datagrams, while the server sends real changes.
  while (MsSince(start) < 5000 && sent < 200000) {
    for (const std::string& d : bad) sent += flood.Send(d);
    if (++round % 50 == 0) {
      const std::array<int, 4> r{(round * 7) % (kW - 40), 60 + (round * 3) % 80, 40, 20};
      FillRootRectangle(sx.display(), r[0], r[1], r[2], r[3], 0x102030ul * (round % 7 + 1));
      drawn.push_back(r);
      peak_kib = std::max(peak_kib, ResourcesOf(viewer->pid()).rss_kib);
    }
  }
  std::printf("[measure] malformed flood: %d datagrams in %.0f ms\n", sent, MsSince(start));
  ASSERT_TRUE(viewer->running()) << "the flood ended the viewer";
  std::this_thread::sleep_for(500ms);
  // The flood itself changed no pixel. The server's own changes during it may have been lost
  // in the kernel's full receive buffer (nothing is resent on this stream): those areas are
  // judged after a refresh below.
  const long outside = DifferencesOutside(Grab(sx.display(), kW, kH), Grab(vx.display(), kW, kH), drawn);
  const long all = Differences(Grab(sx.display(), kW, kH), Grab(vx.display(), kW, kH));
  std::printf("[measure] malformed flood: %ld pixels differ (%ld outside the %zu areas "
              "drawn during the flood)\n", all, outside, drawn.size());
  EXPECT_EQ(outside, 0);
  const double latency = ChangeLatency(0xC0FFEE);
  std::printf("[measure] malformed flood: a new change shows after %.0f ms\n", latency);
  EXPECT_GE(latency, 0);
  EXPECT_LT(latency, 2000);
  ASSERT_TRUE(Go("127.0.0.1"));
  long diff = -1;
  EXPECT_TRUE(ShowsServer(5s, &diff)) << diff << " pixels differ after a refresh";
  const Resources after = ResourcesOf(viewer->pid());
  std::printf("[measure] malformed flood: viewer RSS %ld KiB before, %ld peak, %ld after; "
              "fds %d/%d, threads %d/%d (of them Qt's pooled %d/%d)\n", before.rss_kib, peak_kib,
              after.rss_kib, before.fds, after.fds, before.threads, after.threads,
              before.pooled, after.pooled);
  if (!kSanitizedBuild) {
    EXPECT_LT(peak_kib - before.rss_kib, 80 * 1024);
  }
  EXPECT_EQ(after.own_fds(), before.own_fds());
  EXPECT_EQ(after.own_threads(), before.own_threads());
}

TEST_F(HostileStream, BlocksFasterThanPaintingStayBoundedAndEndInARefresh) {
  // Well-formed blocks over the whole area, each big to decode (1000 x 60 at 32 bpp is
  // 240,000 bytes, clipped to the picture), sent far faster than they can be painted.
  // Half of them are nearly 64 KiB each, so that a full queue really holds its bound.
  std::mt19937 rng(11);
  std::vector<std::string> blocks;
  for (int i = 0; i < 16; ++i)
    blocks.push_back(i % 2 ? NoiseBlock(0, (i * 15) % kH, 1000, (i * 15) % kH + 15, rng)
                           : SolidBlock(0, (i * 15) % kH, 1000, (i * 15) % kH + 60,
                                        static_cast<uint8_t>(0x10 * i + 5)));
  const Resources before = ResourcesOf(viewer->pid());
  long peak_kib = before.rss_kib;
  Flood flood;
  const auto start = Clock::now();
  int sent = 0;
  while (MsSince(start) < 4000 && sent < 400000) {
    for (const std::string& b : blocks) sent += flood.Send(b);
    if (sent % 1600 < 16) peak_kib = std::max(peak_kib, ResourcesOf(viewer->pid()).rss_kib);
  }
  std::printf("[measure] block flood: %d blocks in %.0f ms\n", sent, MsSince(start));
  ASSERT_TRUE(viewer->running());
  // The queue holds at most its byte bound (24 MiB) above the start; the socket's buffer is
  // the kernel's memory, not the viewer's.
  std::printf("[measure] block flood: viewer RSS %ld KiB before, %ld KiB peak\n",
              before.rss_kib, peak_kib);
  if (!kSanitizedBuild) {
    EXPECT_LT(peak_kib - before.rss_kib,
              static_cast<long>(BlockQueue::kCapacityBytes / 1024) + 16 * 1024);
  }
  std::string out;
  testsupport::Run("cat '" + dir.path() + "'/viewer/glimt-*.log 2>/dev/null", &out);
  const bool fell_behind = out.find("falls behind") != std::string::npos;
  std::printf("[measure] block flood: the viewer %s behind\n", fell_behind ? "fell" : "did not fall");
  // The next real change finds the viewer caught up; the blocks it lost while behind are
  // made good by a full refresh that it asks for itself (no "go" from here).
  std::this_thread::sleep_for(1s);
  EXPECT_GE(ChangeLatency(0x00AA55), 0);
  long diff = -1;
  EXPECT_TRUE(ShowsServer(5s, &diff)) << diff << " pixels still show the flood";
  EXPECT_TRUE(fell_behind) << "the flood did not outrun the painter; nothing was tested";
}

}  // namespace

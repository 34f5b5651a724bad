#include "bench/BenchSupport.h"

#include <time.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

#include "Common/MulticastSocket.h"
#include "Common/UpdateHeader.h"
#include "platform/Region.h"
#include "platform/Screen.h"
#include "platform/Socket.h"
#include "server/Sampler.h"
#include "server/Sender.h"
#include "server/ServerState.h"

namespace {
using Clock = std::chrono::steady_clock;
}  // namespace

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

bool SetUpServerState(int width, int height) {
  g_dirty_region = new Region;
  g_mutex = new std::mutex;
  g_clip = ClipRect{0, 0, width, height};
  g_multicast_sock = OpenMulticastSender(g_port, "");
  g_cursor_changed = 0;
  if (g_multicast_sock == INVALID_SOCKET || !StartServerSender()) return false;
  ApplySendSettings();
  return true;
}

double MeasureFloor(ScreenSource& screen, const std::vector<Rect>& blocks, int width, int height,
                    double* capture_s, double* compress_s, double* cpu_s) {
  const std::size_t stride = static_cast<std::size_t>(width) * 4;
  static std::vector<uint8_t> pixels, out(kMaxDatagramBytes), piece;
  pixels.resize(stride * static_cast<std::size_t>(height));
  z_stream z{};
  deflateInit(&z, 1);
  const double cpu0 = ThreadCpuSeconds();
  const auto t0 = Clock::now();
  screen.Capture(Rect{0, 0, width, height}, pixels.data(), stride);
  const auto t1 = Clock::now();
  for (const Rect& b : blocks) {
    const std::size_t s = static_cast<std::size_t>(ScanLineBytes(b.Width(), 32));
    const std::size_t n = s * static_cast<std::size_t>(b.Height());
    const uint8_t* src = pixels.data() + static_cast<std::size_t>(b.top) * stride;
    if (b.Width() != width) {  // a narrower block: its rows are not contiguous in the capture
      piece.resize(n);
      for (int64_t y = 0; y < b.Height(); ++y)
        std::memcpy(&piece[static_cast<std::size_t>(y) * s],
                    pixels.data() + static_cast<std::size_t>(b.top + y) * stride +
                        static_cast<std::size_t>(b.left) * 4,
                    s);
      src = piece.data();
    }
    deflateReset(&z);
    z.next_in = const_cast<Bytef*>(src);
    z.avail_in = static_cast<uInt>(n);
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
  }
  const auto t2 = Clock::now();
  if (cpu_s) *cpu_s = ThreadCpuSeconds() - cpu0;
  deflateEnd(&z);
  if (capture_s) *capture_s = std::chrono::duration<double>(t1 - t0).count();
  if (compress_s) *compress_s = std::chrono::duration<double>(t2 - t1).count();
  return std::chrono::duration<double>(t2 - t0).count();
}

RefreshResult MeasureFullRefresh(ScreenSource& screen, int width, int height) {
  SetSamplerScreen(&screen);
  std::vector<Rect> blocks;
  bool record = false;
  SetSamplerSink([&](const uint8_t* data, std::size_t n) {
    UpdateHeader h;
    DecodeUpdateHeader(data, n, h);
    if (record && h.kind == UPDATE_BLOCK) blocks.push_back(Rect{h.left, h.top, h.right, h.bottom});
    SendDatagram(g_multicast_sock, g_group, g_port, data, static_cast<int>(n));
  });
  // Warm-up run, which also records the blocks the floor compresses. One tick does it all.
  SetSamplerTickBudget(std::chrono::nanoseconds(0));
  record = true;
  ResetSampler();  // refreshes begin at most once a second; each run is a fresh start
  g_full_refresh = 1;
  ScreenTick();
  record = false;
  // Full refreshes and floors alternate, so that the load of a shared machine weighs on both.
  std::vector<double> total, capture, compress, send, floor, floor_capture, floor_compress;
  SamplerTimes last{};
  for (int i = 0; i < kBenchRuns; ++i) {
    ResetSampler();
    g_full_refresh = 1;
    EnableSamplerTimes(true);
    const auto t0 = Clock::now();
    ScreenTick();
    const double t = std::chrono::duration<double>(Clock::now() - t0).count();
    EnableSamplerTimes(false);
    last = TakeSamplerTimes();
    total.push_back(t);
    capture.push_back(last.capture_s);
    compress.push_back(last.compress_s);
    send.push_back(last.send_s);
    double cap, comp;
    MeasureFloor(screen, blocks, width, height, &cap, &comp, nullptr);
    floor_capture.push_back(cap);
    floor_compress.push_back(comp);
    floor.push_back(cap + comp);
  }
  SetSamplerTickBudget(std::chrono::milliseconds(20));
  SetSamplerSink(nullptr);
  SetSamplerScreen(nullptr);
  return RefreshResult{Median(total), Median(capture), Median(compress), Median(send), Median(floor),
                Median(floor_capture), Median(floor_compress), last.datagrams, last.bytes};
}

void ReportRefresh(const char* name, const RefreshResult& r) {
  printf("%-6s full refresh %7.2f ms (capture %6.2f, compression %7.2f, sending %6.2f)  "
         "%4zu datagrams %9zu bytes | floor %7.2f ms (capture %6.2f, compression %7.2f) | "
         "ratio %.3f, without sending %.3f\n",
         name, r.total * 1e3, r.capture * 1e3, r.compress * 1e3, r.send * 1e3, r.datagrams,
         r.bytes, r.floor * 1e3, r.floor_capture * 1e3, r.floor_compress * 1e3,
         r.total / r.floor, (r.total - r.send) / r.floor);
}


void PrintMachine() {
  std::ifstream load("/proc/loadavg");
  double a = 0, b = 0, c = 0;
  load >> a >> b >> c;
  std::printf("%u cores, load average %.2f %.2f %.2f (a shared machine: figures vary)\n",
              std::thread::hardware_concurrency(), a, b, c);
}

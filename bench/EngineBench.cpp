// Time of one full refresh of a 1920x1080x24 Xvfb screen, split into capture, compression
// and sending, against the floor: the same capture and compression calls alone on the same
// pixels; and the floor on the compression pool (the same capture, the same blocks compressed
// with libdeflate by one worker a core), the floor of the sampler once it uses the pool. Sends multicast, so it refuses to run outside a private network namespace
// (run it through tests/netns-run).
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "Common/MulticastSocket.h"
#include "Common/UpdateHeader.h"
#include "platform/Region.h"
#include "platform/Screen.h"
#include "platform/Socket.h"
#include "server/CompressPool.h"
#include "server/Sampler.h"
#include "server/ServerState.h"
#include "tests/support/TestSupport.h"

#include "bench/Frames.h"

namespace {

using namespace bench;

struct Result {
  double total, capture, compress, send, floor, floor_capture, floor_compress;
  std::size_t datagrams, bytes;
  // The same capture, and the same blocks compressed with libdeflate on the pool's workers.
  double pool_floor, pool_floor_compress;
  std::size_t pool_bytes;
};

// The floor on the pool: the whole frame captured once, then every block the sampler sent
// compressed by the pool's workers (one a core), each block one job; time to the last result.
double PoolFloor(CompressPool& pool, const std::vector<Rect>& blocks, const std::vector<uint8_t>& pixels,
                 std::size_t stride, std::size_t* bytes) {
  const auto t0 = Clock::now();
  for (const Rect& b : blocks) {
    CompressJob job;
    job.rect = b;
    job.pixels = pixels.data() + static_cast<std::size_t>(b.top) * stride + static_cast<std::size_t>(b.left) * 4;
    job.stride = stride;
    job.level = EffectiveCompressionLevel(g_compression_level);
    pool.Submit(job);
  }
  *bytes = 0;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    const CompressPool::Result* r = pool.Next(std::chrono::seconds(10));
    if (!r) return 0;
    *bytes += r->datagrams->Bytes();
    pool.Release();
  }
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

Result Measure(ScreenSource& screen) {
  std::vector<Rect> blocks;
  bool record = false;
  SetSamplerSink([&](const uint8_t* data, std::size_t n) {
    UpdateHeader h;
    DecodeUpdateHeader(data, n, h);
    if (record && h.kind == UPDATE_BLOCK) blocks.push_back(Rect{h.left, h.top, h.right, h.bottom});
    SendDatagram(g_multicast_sock, g_group, g_port, data, static_cast<int>(n));
  });
  // Warm-up run, which also records the blocks the floor compresses.
  record = true;
  g_full_refresh = 1;
  ScreenTick();
  record = false;
  const std::size_t stride = static_cast<std::size_t>(kW) * 4;
  std::vector<uint8_t> pixels(stride * kH), out(kMaxBlockPayload + 1024), piece;
  z_stream z{};
  deflateInit(&z, 1);
  // The floor: one capture of the screen and one deflate per block sent, nothing else.
  auto floor_run = [&](double* cap, double* comp) {
    const auto t0 = Clock::now();
    screen.Capture(Rect{0, 0, kW, kH}, pixels.data(), stride);
    const auto t1 = Clock::now();
    for (const Rect& b : blocks) {
      const std::size_t s = static_cast<std::size_t>(ScanLineBytes(b.Width(), 32));
      const uint8_t* src;
      std::size_t n = s * static_cast<std::size_t>(b.Height());
      if (b.Width() == kW) {
        src = pixels.data() + static_cast<std::size_t>(b.top) * stride;
      } else {  // a column cut: its rows are not contiguous in the capture
        piece.resize(n);
        for (int64_t y = 0; y < b.Height(); ++y)
          memcpy(&piece[static_cast<std::size_t>(y) * s],
                 pixels.data() + static_cast<std::size_t>(b.top + y) * stride + static_cast<std::size_t>(b.left) * 4, s);
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
    *cap = std::chrono::duration<double>(t1 - t0).count();
    *comp = std::chrono::duration<double>(t2 - t1).count();
  };
  CompressPool pool([] { return std::make_unique<HalvingCutter>(kMaxDatagramBytes); });
  std::size_t pool_bytes = 0;
  PoolFloor(pool, blocks, pixels, stride, &pool_bytes);  // warms the workers' buffers
  // Full refreshes and floors alternate, so that the load of a shared machine weighs on both.
  std::vector<double> total, capture, compress, send, floor, floor_capture, floor_compress,
      pool_floor, pool_compress;
  SamplerTimes last{};
  for (int i = 0; i < kRuns; ++i) {
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
    floor_run(&cap, &comp);
    floor_capture.push_back(cap);
    floor_compress.push_back(comp);
    floor.push_back(cap + comp);
    const auto p0 = Clock::now();
    screen.Capture(Rect{0, 0, kW, kH}, pixels.data(), stride);
    const double pcap = std::chrono::duration<double>(Clock::now() - p0).count();
    const double pcomp = PoolFloor(pool, blocks, pixels, stride, &pool_bytes);
    pool_compress.push_back(pcomp);
    pool_floor.push_back(pcap + pcomp);
  }
  deflateEnd(&z);
  SetSamplerSink(nullptr);
  return Result{Median(total), Median(capture), Median(compress), Median(send), Median(floor),
                Median(floor_capture), Median(floor_compress), last.datagrams, last.bytes,
                Median(pool_floor), Median(pool_compress), pool_bytes};
}

void Report(const char* name, const Result& r) {
  printf("%-6s full refresh %7.2f ms (capture %6.2f, compression %7.2f, sending %6.2f)  "
         "%4zu datagrams %9zu bytes | floor %7.2f ms (capture %6.2f, compression %7.2f) | "
         "ratio %.3f, without sending %.3f\n",
         name, r.total * 1e3, r.capture * 1e3, r.compress * 1e3, r.send * 1e3, r.datagrams,
         r.bytes, r.floor * 1e3, r.floor_capture * 1e3, r.floor_compress * 1e3,
         r.total / r.floor, (r.total - r.send) / r.floor);
  printf("%-6s floor on the pool (libdeflate, %u workers) %7.2f ms (compression %7.2f), %9zu bytes\n", name,
         std::thread::hardware_concurrency(), r.pool_floor * 1e3, r.pool_floor_compress * 1e3, r.pool_bytes);
}

}  // namespace

int main() {
  if (!testsupport::InPrivateNetwork()) {
    fprintf(stderr, "engine_bench multicasts: run it through tests/netns-run\n");
    return 2;
  }
  testsupport::Xvfb x(kW, kH, 24);
  if (!x.ok()) {
    fprintf(stderr, "no Xvfb\n");
    return 1;
  }
  setenv("DISPLAY", x.display().c_str(), 1);
  ScreenSource* screen = OpenServerScreen();
  Display* d = XOpenDisplay(x.display().c_str());
  if (!screen || !d) return 1;
  g_dirty_region = new Region;
  g_mutex = new std::mutex;
  g_clip = ClipRect{0, 0, kW, kH};
  g_multicast_sock = OpenMulticastSender(g_port, "");
  if (g_multicast_sock == INVALID_SOCKET) return 1;
  g_cursor_changed = 0;
  printf("1920x1080 at %d bpp, level %d, medians of %d runs\n", screen->BitsPerPixel(),
         g_compression_level, kRuns);
  bench::PrintLoad("at start");
  bench::DrawTextFrame(d);
  Report("text", Measure(*screen));
  bench::DrawPhotoFrame(d);
  Report("photo", Measure(*screen));
  bench::PrintLoad("at end");
  XCloseDisplay(d);
  return 0;
}

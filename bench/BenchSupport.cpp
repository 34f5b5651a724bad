#include "bench/BenchSupport.h"

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
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
#include "server/Compressor.h"
#include "server/MulticastTransport.h"
#include "server/Sampler.h"
#include "server/ServerState.h"

namespace {
using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double CpuOf(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// One thread a core compressing the floor's blocks, each once its rows are captured.
class FloorWorkers {
 public:
  FloorWorkers() {
    const unsigned n = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned i = 0; i < n; ++i) threads_.emplace_back([this] { Run(); });
  }
  // Never destroyed: the benchmark ends with the process.

  void Start(const std::vector<Rect>& blocks, const uint8_t* pixels, std::size_t stride, int bpp) {
    std::lock_guard<std::mutex> hold(mutex_);
    blocks_ = &blocks;
    pixels_ = pixels;
    stride_ = stride;
    bpp_ = bpp;
    level_ = EffectiveCompressionLevel(g_compression_level);
    payload_ = static_cast<std::size_t>(g_max_datagram) - kUpdateHeaderBytes;
    next_ = done_ = 0;
    rows_in_ = INT32_MIN;
    cv_.notify_all();
  }
  void Captured(int32_t bottom) {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      rows_in_ = bottom;
    }
    cv_.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> hold(mutex_);
    done_cv_.wait(hold, [&] { return done_ == blocks_->size(); });
  }

 private:
  void Run() {
    Compressor* c = nullptr;
    std::vector<uint8_t> packed, out;
    std::unique_lock<std::mutex> hold(mutex_);
    for (;;) {
      cv_.wait(hold, [&] { return blocks_ && next_ < blocks_->size(); });
      const Rect b = (*blocks_)[next_++];
      cv_.wait(hold, [&] { return rows_in_ >= b.bottom; });
      if (!c || c->level() != level_) {
        delete c;
        c = new Compressor(level_);
      }
      const std::size_t payload = payload_, stride = stride_;
      const int bpp = bpp_;
      const uint8_t* pixels = pixels_;
      hold.unlock();
      const std::size_t pb = static_cast<std::size_t>(bpp / 8);
      const std::size_t scan = static_cast<std::size_t>(ScanLineBytes(b.Width(), bpp));
      const std::size_t n = scan * static_cast<std::size_t>(b.Height());
      const uint8_t* in = pixels + static_cast<std::size_t>(b.top) * stride + static_cast<std::size_t>(b.left) * pb;
      if (scan != stride) {  // a narrower block: its rows are not contiguous in the capture
        packed.resize(n);
        for (int64_t y = 0; y < b.Height(); ++y)
          std::memcpy(&packed[static_cast<std::size_t>(y) * scan], in + static_cast<std::size_t>(y) * stride, scan);
        in = packed.data();
      }
      out.resize(payload + Compressor::kSlack);
      c->Compress(in, n, out.data(), payload, out.size());
      hold.lock();
      if (++done_ == blocks_->size()) done_cv_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable cv_, done_cv_;
  std::vector<std::thread> threads_;
  const std::vector<Rect>* blocks_ = nullptr;
  const uint8_t* pixels_ = nullptr;
  std::size_t stride_ = 0, payload_ = 0, next_ = 0, done_ = 0;
  int bpp_ = 32, level_ = 1;
  int32_t rows_in_ = INT32_MIN;
};

}  // namespace

struct BenchSender::Transport : DatagramTransport {
  MulticastTransport wire;
  bool to_wire = false;
  std::mutex mutex;
  bool recording = false;
  std::vector<Rect> rects;
  std::size_t Send(const DatagramRef* batch, std::size_t count, int* error) override {
    {
      std::lock_guard<std::mutex> hold(mutex);
      for (std::size_t i = 0; recording && i < count; ++i) {
        UpdateHeader h;
        if (DecodeUpdateHeader(batch[i].data, batch[i].size, h) && h.kind == UPDATE_BLOCK)
          rects.push_back(Rect{h.left, h.top, h.right, h.bottom});
      }
    }
    return to_wire ? wire.Send(batch, count, error) : count;
  }
};

BenchSender::BenchSender(bool wire) : transport_(std::make_unique<Transport>()) {
  transport_->to_wire = wire;
  sender_ = std::make_unique<Sender>(transport_.get());
  sender_->Start();
}

BenchSender::~BenchSender() {
  sender_->Stop();
  sender_->SetSource(nullptr);
}

void BenchSender::Record(bool on) {
  std::lock_guard<std::mutex> hold(transport_->mutex);
  transport_->recording = on;
  if (on) transport_->rects.clear();
}

std::vector<Rect> BenchSender::Recorded() {
  std::lock_guard<std::mutex> hold(transport_->mutex);
  return transport_->rects;
}

std::chrono::steady_clock::time_point BenchSender::Settle() {
  // Looked at once a millisecond, so that waiting costs the cores nothing; the sender says
  // when its last batch went.
  while (!sender_->Drained()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return sender_->counters().last_batch;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double ThreadCpuSeconds() { return CpuOf(CLOCK_THREAD_CPUTIME_ID); }
double ProcessCpuSeconds() { return CpuOf(CLOCK_PROCESS_CPUTIME_ID); }

void AllowRefreshNow() {
  static Clock::duration* ahead = nullptr;
  if (!ahead) {
    ahead = new Clock::duration{};  // the sampler's clock reads it until the process ends
    SetSamplerClock([] { return Clock::now() + *ahead; });
  }
  *ahead += std::chrono::seconds(2);
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
  static FloorWorkers* workers = new FloorWorkers;
  const int bpp = screen.BitsPerPixel();
  const std::size_t stride = static_cast<std::size_t>(ScanLineBytes(width, bpp));
  static std::vector<uint8_t> pixels;
  pixels.resize(stride * static_cast<std::size_t>(height));
  const int64_t band = CaptureRows(width, static_cast<int64_t>(stride));
  const double cpu0 = ProcessCpuSeconds();
  const auto t0 = Clock::now();
  workers->Start(blocks, pixels.data(), stride, bpp);
  for (int32_t y = 0; y < height; y += static_cast<int32_t>(band)) {
    const int32_t y1 = static_cast<int32_t>(std::min<int64_t>(y + band, height));
    screen.Capture(Rect{0, y, width, y1}, pixels.data() + static_cast<std::size_t>(y) * stride, stride);
    workers->Captured(y1);
  }
  const auto t1 = Clock::now();
  workers->Wait();
  const auto t2 = Clock::now();
  if (cpu_s) *cpu_s = ProcessCpuSeconds() - cpu0;
  if (capture_s) *capture_s = Seconds(t1 - t0);
  if (compress_s) *compress_s = Seconds(t2 - t1);  // what compression adds after the capture
  return Seconds(t2 - t0);
}

RefreshResult MeasureFullRefresh(ScreenSource& screen, int width, int height, BenchSender& out) {
  // The picture sent and the buffers stay from run to run, as in a running server.
  SetSamplerScreen(&screen);
  SetSamplerOutput(&out.sender());
  out.sender().SetSource(SamplerPool());
  out.sender().Configure(0, static_cast<std::size_t>(g_max_datagram));
  const uint32_t cycle = g_refresh_cycle;
  g_refresh_cycle = 0;
  ApplySendSettings();
  std::vector<double> total, main_s, ticks, capture, compare, handover, compress, cpu, floor,
      floor_capture, floor_compress, floor_cpu, misses, deflated;
  std::vector<Rect> blocks;
  SamplerTimes t{};
  for (int i = -1; i < kBenchRuns; ++i) {  // run -1 warms up and records the blocks
    AllowRefreshNow();
    g_full_refresh = 1;
    out.Record(i < 0);
    EnableSamplerTimes(true);
    const double cpu0 = ProcessCpuSeconds();
    const auto t0 = Clock::now();
    double in_ticks = 0;
    int n = 0;
    for (bool more = true; more; ++n) {
      const auto k0 = Clock::now();
      more = ScreenTick();
      in_ticks += Seconds(Clock::now() - k0);
    }
    const double wall = Seconds(out.Settle() - t0);
    const double used = ProcessCpuSeconds() - cpu0;
    EnableSamplerTimes(false);
    t = TakeSamplerTimes();
    if (i < 0) {
      out.Record(false);
      blocks = out.Recorded();
      continue;
    }
    total.push_back(wall);
    main_s.push_back(in_ticks);
    ticks.push_back(n);
    capture.push_back(t.capture_s);
    compare.push_back(t.compare_s);
    handover.push_back(t.send_s);
    compress.push_back(t.compress_s);
    cpu.push_back(used);
    misses.push_back(static_cast<double>(t.misses));
    deflated.push_back(static_cast<double>(t.deflated_in) /
                       (static_cast<double>(ScanLineBytes(width, screen.BitsPerPixel())) * height));
    double cap, comp, fcpu;
    floor.push_back(MeasureFloor(screen, blocks, width, height, &cap, &comp, &fcpu));
    floor_capture.push_back(cap);
    floor_compress.push_back(comp);
    floor_cpu.push_back(fcpu);
  }
  g_refresh_cycle = cycle;
  ApplySendSettings();
  SetSamplerOutput(nullptr);
  out.sender().SetSource(nullptr);
  SetSamplerScreen(nullptr);
  return RefreshResult{Median(total), Median(main_s), Median(ticks), Median(capture),
                       Median(compare), Median(handover), Median(compress), Median(cpu),
                       Median(floor), Median(floor_capture), Median(floor_compress),
                       Median(floor_cpu), t.datagrams, t.bytes, Median(misses), Median(deflated)};
}

void ReportRefresh(const char* name, const RefreshResult& r) {
  std::printf("%-12s refresh %7.2f ms to the last datagram | main thread %6.2f ms in %.0f "
              "tick(s) (capture %5.2f, compare/copy %5.2f, hand-over %5.2f) | workers %6.2f ms | "
              "%5zu datagrams %8zu bytes | compressed %.3f times, %.0f misses | floor %6.2f ms "
              "(capture %5.2f, then compression %5.2f) | ratio %.3f | CPU %6.2f / %6.2f ms: %.3f\n",
              name, r.total * 1e3, r.main * 1e3, r.ticks, r.capture * 1e3, r.compare * 1e3,
              r.handover * 1e3, r.compress * 1e3, r.datagrams, r.bytes, r.deflated, r.misses,
              r.floor * 1e3, r.floor_capture * 1e3, r.floor_compress * 1e3, r.total / r.floor,
              r.cpu * 1e3, r.floor_cpu * 1e3, r.cpu / r.floor_cpu);
  std::fflush(stdout);
}

void PrintMachine() {
  std::ifstream load("/proc/loadavg");
  double a = 0, b = 0, c = 0;
  load >> a >> b >> c;
  std::printf("%u cores, load average %.2f %.2f %.2f (a shared machine: figures vary)\n",
              std::thread::hardware_concurrency(), a, b, c);
  std::fflush(stdout);
}

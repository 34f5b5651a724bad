// Compression alone on the benchmark's two screens, no network: zlib against libdeflate at
// every level (bytes and time of one whole frame, compressed in the sampler's strips on one
// thread), and the speed-up of the compression pool over one worker. Starts its own Xvfb;
// run it through tests/netns-run like the other benchmarks.
// Usage: compress_bench [levels|pool] (default both).
#include <libdeflate.h>
#include <zlib.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "Common/UpdateHeader.h"
#include "bench/BenchContent.h"
#include "bench/BenchSupport.h"
#include "platform/Screen.h"
#include "server/CompressPool.h"
#include "server/Compressor.h"
#include "server/Cutter.h"
#include "server/Sampler.h"
#include "tests/support/TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kW = 1920, kH = 1080, kRuns = kBenchRuns;
constexpr std::size_t kStride = static_cast<std::size_t>(kW) * 4;

// Rows of the sampler's strips on this screen: the unit each compression call gets.
int StripHeight() { return static_cast<int>(StripRows(kW, static_cast<int64_t>(kStride))); }

struct Figure {
  double ms;
  std::size_t bytes;
};

template <class CompressFn>
Figure Frame(const std::vector<uint8_t>& pixels, std::vector<uint8_t>& out, CompressFn compress) {
  std::vector<double> times(kRuns);
  std::size_t bytes = 0;
  const int step = StripHeight();
  for (int run = 0; run < kRuns; ++run) {
    bytes = 0;
    const auto t0 = Clock::now();
    for (int y = 0; y < kH; y += step) {
      const std::size_t n = static_cast<std::size_t>(std::min(step, kH - y)) * kStride;
      bytes += compress(pixels.data() + static_cast<std::size_t>(y) * kStride, n, out);
    }
    times[static_cast<std::size_t>(run)] =
        std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
  }
  return Figure{Median(times), bytes};
}

Figure Zlib(const std::vector<uint8_t>& pixels, int level) {
  std::vector<uint8_t> out(compressBound(static_cast<uLong>(StripHeight() * kStride)));
  z_stream z{};
  deflateInit(&z, level);
  Figure f = Frame(pixels, out, [&](const uint8_t* in, std::size_t n, std::vector<uint8_t>& o) {
    deflateReset(&z);
    z.next_in = const_cast<Bytef*>(in);
    z.avail_in = static_cast<uInt>(n);
    z.next_out = o.data();
    z.avail_out = static_cast<uInt>(o.size());
    return deflate(&z, Z_FINISH) == Z_STREAM_END ? static_cast<std::size_t>(z.total_out) : 0;
  });
  deflateEnd(&z);
  return f;
}

Figure Libdeflate(const std::vector<uint8_t>& pixels, int level) {
  std::vector<uint8_t> out(compressBound(static_cast<uLong>(StripHeight() * kStride)) + 1024);
  Compressor c(level);
  return Frame(pixels, out, [&](const uint8_t* in, std::size_t n, std::vector<uint8_t>& o) {
    return c.Compress(in, n, o.data(), o.size());
  });
}

// libdeflate's own levels past 9, to choose what CompressionLevel 9 maps to.
Figure RawLibdeflate(const std::vector<uint8_t>& pixels, int level) {
  std::vector<uint8_t> out(compressBound(static_cast<uLong>(StripHeight() * kStride)) + 1024);
  libdeflate_compressor* c = libdeflate_alloc_compressor(level);
  Figure f = Frame(pixels, out, [&](const uint8_t* in, std::size_t n, std::vector<uint8_t>& o) {
    return libdeflate_zlib_compress(c, in, n, o.data(), o.size());
  });
  libdeflate_free_compressor(c);
  return f;
}

void Levels(const char* name, const std::vector<uint8_t>& pixels) {
  printf("%s frame, %d strips of %d rows, one thread, medians of %d runs\n", name,
         (kH + StripHeight() - 1) / StripHeight(), StripHeight(), kRuns);
  printf("  level | zlib ms    bytes | libdeflate ms    bytes\n");
  for (int level = -1; level <= 9; ++level) {
    const Figure z = Zlib(pixels, level);
    const Figure d = Libdeflate(pixels, level);
    printf("  %5d | %7.2f %9zu | %13.2f %8zu\n", level, z.ms, z.bytes, d.ms, d.bytes);
    fflush(stdout);
  }
  for (int level = 9; level <= 12; ++level) {
    const Figure d = RawLibdeflate(pixels, level);
    printf("  libdeflate's own level %2d: %8.2f ms %9zu bytes\n", level, d.ms, d.bytes);
    fflush(stdout);
  }
}

// The whole frame on the pool, one job a band of `rows` rows, cut to max_datagram; time from
// the first submission to the last result taken. One worker and one a core alternate run by
// run, so that the load of a shared machine weighs on both alike.
struct PoolFigure {
  double one_ms, all_ms;
  double cores_used;  // CPU time over wall time of the runs on all workers: what the machine gave
  std::size_t datagrams, bytes;
};

double CpuMs() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

double PoolFrame(CompressPool& pool, const std::vector<uint8_t>& pixels, int rows, int level,
                 std::size_t max_datagram, std::size_t* datagrams, std::size_t* bytes) {
  const auto t0 = Clock::now();
  int jobs = 0;
  for (int y = 0; y < kH; y += rows, ++jobs) {
    CompressJob job;
    job.rect = Rect{0, y, kW, std::min(y + rows, kH)};
    job.pixels = pixels.data() + static_cast<std::size_t>(y) * kStride;
    job.stride = kStride;
    job.level = level;
    job.max_datagram = max_datagram;
    job.new_content = true;
    pool.Submit(job);
  }
  *datagrams = *bytes = 0;
  for (; jobs > 0; --jobs) {
    const CompressPool::Result* r = pool.Next(std::chrono::seconds(30));
    if (!r) return 0;
    *datagrams += r->datagrams->Count();
    *bytes += r->datagrams->Bytes();
    pool.Release();
  }
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

PoolFigure OnPool(const std::vector<uint8_t>& pixels, int rows, std::size_t max_datagram, int level) {
  auto cutter = [] { return std::make_unique<Cutter>(); };
  CompressPool one(cutter, 1), all(cutter, 0);
  std::vector<double> one_ms, all_ms;
  PoolFigure f{};
  double cpu = 0;
  for (int run = -1; run < kRuns; ++run) {  // run -1 warms the buffers
    const double a = PoolFrame(one, pixels, rows, level, max_datagram, &f.datagrams, &f.bytes);
    const double c0 = CpuMs();
    const double b = PoolFrame(all, pixels, rows, level, max_datagram, &f.datagrams, &f.bytes);
    if (run < 0) continue;
    cpu += CpuMs() - c0;
    one_ms.push_back(a);
    all_ms.push_back(b);
  }
  f.one_ms = Median(one_ms);
  f.all_ms = Median(all_ms);
  double wall = 0;
  for (double ms : all_ms) wall += ms;
  f.cores_used = cpu / wall;
  return f;
}

// Jobs of the sampler's strips (34 rows), cut to fit by the sampler's cutter.
void Pool(const char* name, const std::vector<uint8_t>& pixels, int rows) {
  const int cores = static_cast<int>(std::thread::hardware_concurrency());
  const struct {
    int level;
    std::size_t max;
  } configs[] = {{1, kMaxDatagramBytes}, {6, kMaxDatagramBytes}, {1, 1472}};
  for (const auto& k : configs) {
    const PoolFigure f = OnPool(pixels, rows, k.max, k.level);
    printf("%-5s level %d, datagrams <= %5zu: 1 worker %8.2f ms | %d workers %8.2f ms (%.2f cores busy) | "
           "speed-up %.2f | %5zu datagrams %8zu bytes\n",
           name, k.level, k.max, f.one_ms, cores,
           f.all_ms, f.cores_used, f.one_ms / f.all_ms, f.datagrams, f.bytes);
    fflush(stdout);
  }
}

std::vector<uint8_t> Capture(ScreenSource& screen) {
  std::vector<uint8_t> pixels(kStride * kH);
  screen.Capture(Rect{0, 0, kW, kH}, pixels.data(), kStride);
  return pixels;
}

}  // namespace

int main(int argc, char** argv) {
  if (!testsupport::InPrivateNetwork()) {
    fprintf(stderr, "run compress_bench through tests/netns-run\n");
    return 2;
  }
  const bool levels = argc < 2 || strcmp(argv[1], "levels") == 0;
  const bool pool = argc < 2 || strcmp(argv[1], "pool") == 0;
  testsupport::Xvfb x(kW, kH, 24);
  if (!x.ok()) return 1;
  std::unique_ptr<ScreenSource> screen = OpenX11Screen(x.display().c_str());
  if (!screen || !DrawBenchContent(x.display(), BenchContent::kText, kW, kH)) return 1;
  const std::vector<uint8_t> text = Capture(*screen);
  if (!DrawBenchContent(x.display(), BenchContent::kPhoto, kW, kH)) return 1;
  const std::vector<uint8_t> photo = Capture(*screen);
  PrintMachine();
  if (pool) {
    printf("compression pool, whole frame, medians of %d runs\n", kRuns);
    Pool("text", text, StripHeight());
    Pool("photo", photo, StripHeight());
  }
  if (levels) {
    Levels("text", text);
    Levels("photo", photo);
  }
  PrintMachine();
  return 0;
}

// Compression alone on the benchmark's two screens, no network: zlib against libdeflate at
// every level (bytes and time of one whole frame, compressed in the sampler's strips on one
// thread), and the speed-up of the compression pool over one worker. Starts its own Xvfb;
// run it through tests/netns-run like the other benchmarks.
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "Common/UpdateHeader.h"
#include "bench/Frames.h"
#include "platform/Screen.h"
#include "server/Compressor.h"
#include "server/Sampler.h"
#include "tests/support/TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;
using bench::kH;
using bench::kW;
using bench::Median;
constexpr int kRuns = 21;
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
  testsupport::Xvfb x(kW, kH, 24);
  if (!x.ok()) return 1;
  std::unique_ptr<ScreenSource> screen = OpenX11Screen(x.display().c_str());
  Display* d = XOpenDisplay(x.display().c_str());
  if (!screen || !d) return 1;
  bench::DrawTextFrame(d);
  const std::vector<uint8_t> text = Capture(*screen);
  bench::DrawPhotoFrame(d);
  const std::vector<uint8_t> photo = Capture(*screen);
  XCloseDisplay(d);
  if (levels) {
    Levels("text", text);
    Levels("photo", photo);
  }
  return 0;
}

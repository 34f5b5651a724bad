// Decode and paint cost of one full refresh of a 1920x1080 screen at 32 bpp (depth 24), cut
// into strips and compressed as the server does. Not a test: run by hand.
#include <benchmark/benchmark.h>

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <cstdlib>
#include <vector>

#include "glimt/Decode.h"
#include "tests/glimt/BlockTestSupport.h"
#include "tests/glimt/PhotoRefresh.h"

namespace {

constexpr int kW = 1920, kH = 1080;

// Desktop-like content: flat areas, gradients and some fine detail, compressed at level 1.
std::vector<std::vector<uint8_t>> RefreshStrips() {
  std::vector<std::vector<uint8_t>> strips;
  const int rows = 50000 / kW + 8;
  for (int t = 0; t < kH; t += rows) {
    const int b = std::min(kH, t + rows);
    std::vector<uint8_t> raw;
    raw.reserve(static_cast<std::size_t>(kW) * (b - t) * 4);
    for (int y = t; y < b; ++y)
      for (int x = 0; x < kW; ++x) {
        const bool window = x > 300 && x < 1400 && y > 200 && y < 900;
        const uint8_t detail = ((x * 7 + y * 3) % 11 == 0) ? 0x40 : 0;
        raw.push_back(window ? 0xF0 : static_cast<uint8_t>(x >> 3));
        raw.push_back(window ? static_cast<uint8_t>(0xF0 ^ detail) : static_cast<uint8_t>(y >> 3));
        raw.push_back(window ? 0xF0 : 0x40);
        raw.push_back(0);
      }
    uLongf n = compressBound(raw.size());
    std::vector<uint8_t> z(n);
    compress2(z.data(), &n, raw.data(), raw.size(), 1);
    z.resize(n);
    strips.push_back(glimttest::Block(0, t, kW, b, z));
  }
  return strips;
}

void BM_DecodeFullRefresh(benchmark::State& state) {
  const auto strips = RefreshStrips();
  QImage picture(kW, kH, QImage::Format_RGB32);
  PixelSurface s{picture.bits(), kW, kH, picture.bytesPerLine(), 32};
  for (auto _ : state)
    for (const auto& d : strips) DecodeBlockInto(s, {0, 0, kW, kH}, d.data());
  state.counters["strips"] = static_cast<double>(strips.size());
}
BENCHMARK(BM_DecodeFullRefresh)->Unit(benchmark::kMillisecond);

// The paint: the whole picture onto a window-sized surface, at 1:1 and reduced.
void BM_PaintFullPicture(benchmark::State& state) {
  QImage picture(kW, kH, QImage::Format_RGB32);
  picture.fill(0xff336699);
  const int cw = static_cast<int>(state.range(0)), ch = cw * kH / kW;
  QImage window(cw, ch, QImage::Format_RGB32);
  for (auto _ : state) {
    QPainter p(&window);
    p.drawImage(QRect(0, 0, cw, ch), picture);
  }
}
BENCHMARK(BM_PaintFullPicture)->Arg(1920)->Arg(1280)->Unit(benchmark::kMillisecond);

// The inflate step alone over a photo-like refresh cut at 1472 bytes (about 4,200 blocks):
// arg 0 zlib's streaming inflate (the decoder before libdeflate), 1 the decoder's InflateInto.
void BM_InflatePhotoRefresh1472(benchmark::State& state) {
  static const auto blocks = glimttest::CutIntoDatagrams(glimttest::PhotoPicture());
  std::vector<uint8_t> out(kDecodeBufferBytes);
  for (auto _ : state)
    for (const auto& d : blocks) {
      const uint8_t* z = d.data() + kUpdateHeaderBytes;
      const std::size_t n = d.size() - kUpdateHeaderBytes;
      std::size_t produced = 0;
      if (state.range(0) == 1) {
        benchmark::DoNotOptimize(InflateInto(z, n, out.data(), out.size(), &produced));
      } else {
        uLongf len = out.size();
        benchmark::DoNotOptimize(uncompress(out.data(), &len, z, n));
      }
    }
  state.counters["blocks"] = static_cast<double>(blocks.size());
}
BENCHMARK(BM_InflatePhotoRefresh1472)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Inflate and copy into the picture, as the paint handler does, for the same refresh.
void BM_DecodePhotoRefresh1472(benchmark::State& state) {
  static const auto blocks = glimttest::CutIntoDatagrams(glimttest::PhotoPicture());
  QImage picture(kW, kH, QImage::Format_RGB32);
  PixelSurface s{picture.bits(), kW, kH, picture.bytesPerLine(), 32};
  for (auto _ : state)
    for (const auto& d : blocks) DecodeBlockInto(s, {0, 0, kW, kH}, d.data());
  state.counters["blocks"] = static_cast<double>(blocks.size());
}
BENCHMARK(BM_DecodePhotoRefresh1472)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QGuiApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}

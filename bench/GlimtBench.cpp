// The viewer's paint handler, timed: inflating and decoding a full 1920x1080 refresh into the
// picture (at the picture's own depth and converted from another), and drawing the picture
// over windows of several sizes, nearest neighbour ("fast") against the smooth reduction ("smooth").
// Not a test: run by hand (`bin/glimt_bench`); the figures are in docs/glimt.md.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <cstdlib>
#include <random>
#include <vector>

#include "glimt/Decode.h"
#include "glimt/PictureView.h"
#include "tests/glimt/BlockTestSupport.h"
#include "tests/glimt/PhotoRefresh.h"

namespace {

constexpr int kW = 1920, kH = 1080;

// A desktop of terminals as 0xffRRGGBB: dark strokes one pixel wide in 8x16 cells on white.
std::vector<uint32_t> TextScreen() {
  std::vector<uint32_t> px(static_cast<std::size_t>(kW) * kH, 0xffffffffu);
  std::mt19937 rng(7);
  for (int cy = 0; cy + 16 <= kH; cy += 16)
    for (int cx = 0; cx + 8 <= kW; cx += 8) {
      if (rng() % 5 == 0) continue;  // a blank
      const uint32_t ink = rng() % 7 ? 0xff202020u : 0xff2040c0u;
      for (int s = 0; s < 3; ++s) {  // three strokes a glyph, across or down
        const bool across = rng() & 1;
        const int at = static_cast<int>(rng() % 7), from = 2 + static_cast<int>(rng() % 6);
        for (int i = 0; i < 6; ++i) {
          const int x = cx + (across ? 1 + i : at), y = cy + (across ? from + 3 : 3 + from + i);
          px[y * kW + x] = ink;
        }
      }
    }
  return px;
}

// A full refresh of the text screen as the server cuts it (strips of 50000 / W + 8 rows),
// at a server depth, compressed at level 1.
std::vector<std::vector<uint8_t>> TextRefresh(int bpp) {
  const std::vector<uint32_t> px = TextScreen();
  PixelConverter narrow(ServerLayout(32), ServerLayout(bpp));
  std::vector<std::vector<uint8_t>> out;
  const int rows = 50000 / kW + 8;
  for (int t = 0; t < kH; t += rows) {
    const int b = std::min(kH, t + rows);
    const int64_t s = ScanLineBytes(kW, bpp);
    std::vector<uint8_t> raw(static_cast<std::size_t>(s * (b - t)), 0);
    for (int y = t; y < b; ++y) {
      const auto* row = reinterpret_cast<const uint8_t*>(&px[y * kW]);
      if (bpp == 32) std::copy(row, row + kW * 4, &raw[(y - t) * s]);
      else narrow.ConvertRow(row, &raw[(y - t) * s], kW);
    }
    out.push_back(glimttest::Block(0, t, kW, b, glimttest::Compress(raw, 1)));
  }
  return out;
}

// The photo-like refresh in datagrams of one Ethernet frame (about 4,200), as the viewer's
// keep-up test sends it.
const std::vector<std::vector<uint8_t>>& PhotoRefresh() {
  static const auto blocks = glimttest::CutIntoDatagrams(glimttest::PhotoPicture());
  return blocks;
}

QImage::Format FormatAt(int bpp) {
  return bpp == 16 ? QImage::Format_RGB16 : QImage::Format_RGB32;
}

// Decodes every block into the picture as the paint handler does.
void Decode(BlockDecoder& decoder, QImage& picture, PictureView* view,
            const std::vector<std::vector<uint8_t>>& blocks) {
  PixelSurface s{picture.bits(), kW, kH, picture.bytesPerLine(), picture.depth()};
  for (const auto& d : blocks) {
    DecodeInfo info;
    decoder.Decode(s, {0, 0, kW, kH}, d.data(), &info);
    if (view) view->PictureChanged(info.drawn);
  }
}

// A text refresh; args: server bpp, picture bpp.
void BM_Decode(benchmark::State& state) {
  const int server = static_cast<int>(state.range(0)), local = static_cast<int>(state.range(1));
  const auto blocks = TextRefresh(server);
  QImage picture(kW, kH, FormatAt(local));
  BlockDecoder decoder(LayoutOf(picture.format()));
  for (auto _ : state) Decode(decoder, picture, nullptr, blocks);
  state.counters["blocks"] = static_cast<double>(blocks.size());
}
BENCHMARK(BM_Decode)
    ->ArgNames({"server", "viewer"})
    ->Args({32, 32})->Args({16, 32})->Args({32, 16})->Args({16, 16})
    ->Unit(benchmark::kMillisecond);

// The inflate step alone over the photo refresh: arg 0 zlib's streaming inflate (the decoder
// before libdeflate), 1 the decoder's InflateInto.
void BM_InflatePhotoRefresh1472(benchmark::State& state) {
  const auto& blocks = PhotoRefresh();
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
  const auto& blocks = PhotoRefresh();
  QImage picture(kW, kH, QImage::Format_RGB32);
  BlockDecoder decoder(LayoutOf(picture.format()));
  for (auto _ : state) Decode(decoder, picture, nullptr, blocks);
  state.counters["blocks"] = static_cast<double>(blocks.size());
}
BENCHMARK(BM_DecodePhotoRefresh1472)->Unit(benchmark::kMillisecond);

// The whole picture changed, drawn over a window of width range(0) (height in proportion);
// range(1): 0 fast, 1 smooth.
void BM_PaintWhole(benchmark::State& state) {
  const int cw = static_cast<int>(state.range(0)), ch = cw * kH / kW;
  QImage picture(kW, kH, QImage::Format_RGB32);
  const std::vector<uint32_t> px = TextScreen();
  std::copy(px.begin(), px.end(), reinterpret_cast<uint32_t*>(picture.bits()));
  QImage window(cw, ch, QImage::Format_RGB32);
  PictureView view;
  view.set_quality(state.range(1) ? ScaleQuality::kSmooth : ScaleQuality::kFast);
  for (auto _ : state) {
    view.PictureChanged({0, 0, kW, kH});
    QPainter p(&window);
    view.Paint(p, picture, window.size());
  }
}
BENCHMARK(BM_PaintWhole)
    ->ArgNames({"width", "smooth"})
    ->Args({1920, 0})->Args({1920, 1})->Args({1280, 0})->Args({1280, 1})->Args({640, 0})
    ->Args({640, 1})
    ->Unit(benchmark::kMillisecond);

// A change of range(0) x range(0) / 4 picture pixels, reduced to 1280x720 and painted inside
// its invalidation rectangle, as the window repaints it.
void BM_PaintChange(benchmark::State& state) {
  const int w = static_cast<int>(state.range(0)), h = std::max(1, w / 4);
  const int cw = 1280, ch = 720;
  QImage picture(kW, kH, QImage::Format_RGB32);
  picture.fill(0xffffffffu);
  QImage window(cw, ch, QImage::Format_RGB32);
  PictureView view;
  {
    QPainter p(&window);
    view.Paint(p, picture, window.size());  // the reduced copy exists before the changes
  }
  const AreaRect area{0, 0, kW, kH}, change{600, 400, 600 + w, 400 + h};
  const AreaRect c = InvalidationRect(area, cw, ch, change);
  for (auto _ : state) {
    view.PictureChanged(change);
    QPainter p(&window);
    p.setClipRect(QRect(c.left, c.top, c.right - c.left, c.bottom - c.top));
    view.Paint(p, picture, window.size());
  }
}
BENCHMARK(BM_PaintChange)->Arg(16)->Arg(64)->Arg(256)->Arg(1024)->Unit(benchmark::kMicrosecond);

// The paint handler after a whole refresh: decode, reduce to 1280x720 (or not), draw.
// Args: content (0 text strips, 1 photo in small datagrams), smooth.
void BM_DecodeAndPaint(benchmark::State& state) {
  const auto blocks = state.range(0) ? PhotoRefresh() : TextRefresh(32);
  QImage picture(kW, kH, QImage::Format_RGB32);
  QImage window(1280, 720, QImage::Format_RGB32);
  BlockDecoder decoder(LayoutOf(picture.format()));
  PictureView view;
  view.set_quality(state.range(1) ? ScaleQuality::kSmooth : ScaleQuality::kFast);
  for (auto _ : state) {
    Decode(decoder, picture, &view, blocks);
    QPainter p(&window);
    view.Paint(p, picture, window.size());
  }
  state.counters["blocks"] = static_cast<double>(blocks.size());
}
BENCHMARK(BM_DecodeAndPaint)
    ->ArgNames({"photo", "smooth"})
    ->Args({0, 0})->Args({0, 1})->Args({1, 0})->Args({1, 1})
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QGuiApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}

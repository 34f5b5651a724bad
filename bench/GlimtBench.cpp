// The viewer's paint handler, timed: decoding a full 1920x1080 refresh into the picture (at
// the picture's own depth and converted from another), and drawing the picture over windows
// of several sizes, nearest neighbour ("fast") against the smooth reduction ("smooth").
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

namespace {

constexpr int kW = 1920, kH = 1080;
constexpr std::size_t kSmallDatagram = 1472;  // one Ethernet frame

enum class Content { kText, kPhoto };

// The screen as 0xffRRGGBB. Text: dark strokes one pixel wide in 8x16 cells on white, as a
// terminal shows them. Photo: smooth colour with noise, which barely compresses.
std::vector<uint32_t> Screen(Content content) {
  std::vector<uint32_t> px(static_cast<std::size_t>(kW) * kH);
  std::mt19937 rng(7);
  if (content == Content::kPhoto) {
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x) {
        const auto n = [&] { return static_cast<int>(rng() % 24); };
        px[y * kW + x] = 0xff000000u | uint32_t((x / 8 + n()) & 0xff) << 16 |
                         uint32_t((y / 5 + n()) & 0xff) << 8 | uint32_t(((x + y) / 12 + n()) & 0xff);
      }
    return px;
  }
  std::fill(px.begin(), px.end(), 0xffffffffu);
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

// The pixels of (l, t, r, b) at a server depth, with its scan lines.
std::vector<uint8_t> Pixels(const std::vector<uint32_t>& px, int bpp, int l, int t, int r, int b) {
  const int64_t s = ScanLineBytes(r - l, bpp);
  std::vector<uint8_t> raw(static_cast<std::size_t>(s * (b - t)), 0);
  PixelConverter to(ServerLayout(32), ServerLayout(bpp));
  for (int y = t; y < b; ++y) {
    const auto* row = reinterpret_cast<const uint8_t*>(&px[y * kW + l]);
    if (bpp == 32) std::copy(row, row + (r - l) * 4, &raw[(y - t) * s]);
    else to.ConvertRow(row, &raw[(y - t) * s], r - l);
  }
  return raw;
}

std::vector<uint8_t> Datagram(const std::vector<uint32_t>& px, int bpp, int l, int t, int r,
                              int b) {
  const std::vector<uint8_t> raw = Pixels(px, bpp, l, t, r, b);
  uLongf n = compressBound(raw.size());
  std::vector<uint8_t> z(n);
  compress2(z.data(), &n, raw.data(), raw.size(), 1);
  z.resize(n);
  return glimttest::Block(l, t, r, b, z);
}

// A full refresh as the server cuts it: strips of 50000 / W + 8 rows; or, with small, each row
// in pieces whose datagram fits one Ethernet frame.
std::vector<std::vector<uint8_t>> Refresh(Content content, int bpp, bool small) {
  const std::vector<uint32_t> px = Screen(content);
  std::vector<std::vector<uint8_t>> out;
  if (!small) {
    const int rows = 50000 / kW + 8;
    for (int t = 0; t < kH; t += rows) out.push_back(Datagram(px, bpp, 0, t, kW, std::min(kH, t + rows)));
    return out;
  }
  for (int y = 0; y < kH; ++y)
    for (int l = 0, w = kW; l < kW;) {
      w = std::min(w, kW - l);
      std::vector<uint8_t> d = Datagram(px, bpp, l, y, l + w, y + 1);
      if (d.size() > kSmallDatagram && w > 1) {
        w = std::max(1, static_cast<int>(int64_t{w} * 15 * kSmallDatagram / (16 * d.size())));
        continue;
      }
      out.push_back(std::move(d));
      l += w;
      w = kW;
    }
  return out;
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

// Args: server bpp, picture bpp, content (0 text, 1 photo), small datagrams.
void BM_Decode(benchmark::State& state) {
  const int server = static_cast<int>(state.range(0)), local = static_cast<int>(state.range(1));
  const auto blocks = Refresh(static_cast<Content>(state.range(2)), server, state.range(3) != 0);
  QImage picture(kW, kH, FormatAt(local));
  BlockDecoder decoder(LayoutOf(picture.format()));
  for (auto _ : state) Decode(decoder, picture, nullptr, blocks);
  state.counters["blocks"] = static_cast<double>(blocks.size());
}
BENCHMARK(BM_Decode)
    ->ArgNames({"server", "viewer", "photo", "small"})
    ->Args({32, 32, 0, 0})->Args({16, 32, 0, 0})->Args({32, 16, 0, 0})->Args({16, 16, 0, 0})
    ->Args({32, 32, 1, 0})->Args({32, 32, 1, 1})->Args({16, 32, 1, 1})
    ->Unit(benchmark::kMillisecond);

// The whole picture changed, drawn over a window of width range(0) (height in proportion);
// range(1): 0 fast, 1 smooth.
void BM_PaintWhole(benchmark::State& state) {
  const int cw = static_cast<int>(state.range(0)), ch = cw * kH / kW;
  QImage picture(kW, kH, QImage::Format_RGB32);
  const std::vector<uint32_t> px = Screen(Content::kText);
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
// Args: content (0 text, 1 photo), small datagrams, smooth.
void BM_DecodeAndPaint(benchmark::State& state) {
  const auto blocks =
      Refresh(static_cast<Content>(state.range(0)), 32, state.range(1) != 0);
  QImage picture(kW, kH, QImage::Format_RGB32);
  QImage window(1280, 720, QImage::Format_RGB32);
  BlockDecoder decoder(LayoutOf(picture.format()));
  PictureView view;
  view.set_quality(state.range(2) ? ScaleQuality::kSmooth : ScaleQuality::kFast);
  for (auto _ : state) {
    Decode(decoder, picture, &view, blocks);
    QPainter p(&window);
    view.Paint(p, picture, window.size());
  }
  state.counters["blocks"] = static_cast<double>(blocks.size());
}
BENCHMARK(BM_DecodeAndPaint)
    ->ArgNames({"photo", "small", "smooth"})
    ->Args({0, 0, 0})->Args({0, 0, 1})->Args({1, 1, 0})->Args({1, 1, 1})
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QGuiApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}

#include "glimt/Scaler.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

namespace {

// The reduction kernel at distance t (in window pixels) from a window pixel's centre: a cubic
// that falls smoothly from 1 at the centre to 0 one window pixel away, t in [0, 1).
double Kernel(double t) { return (2 * t - 3) * t * t + 1; }

}  // namespace

void Scaler::Axis::Build(int src_size, int dst_size) {
  src = src_size;
  dst = dst_size;
  first.assign(dst, 0);
  count.assign(dst, 0);
  offset.assign(dst, 0);
  weights.clear();
  const int64_t s = src, d = dst;
  const double ratio = static_cast<double>(s) / static_cast<double>(d);
  std::vector<double> raw;
  for (int64_t i = 0; i < d; ++i) {
    offset[i] = static_cast<int32_t>(weights.size());
    if (d >= s) {
      // The picture pixel under the window pixel's centre.
      first[i] = static_cast<int32_t>((2 * i + 1) * s / (2 * d));
      count[i] = 1;
      weights.push_back(kWeightOne);
      continue;
    }
    // The picture pixels whose centres lie less than one window pixel from this window
    // pixel's centre, weighted by the kernel; cut at the picture's edges.
    const double centre = (static_cast<double>(i) + 0.5) * ratio;
    const int64_t j0 = std::max<int64_t>(0, static_cast<int64_t>(std::floor(centre - ratio - 0.5)) + 1);
    const int64_t j1 = std::min<int64_t>(s, static_cast<int64_t>(std::ceil(centre + ratio - 0.5)));
    raw.clear();
    double total = 0;
    for (int64_t j = j0; j < j1; ++j) {
      const double t = std::abs(static_cast<double>(j) + 0.5 - centre) / ratio;
      raw.push_back(t < 1 ? Kernel(t) : 0);
      total += raw.back();
    }
    first[i] = static_cast<int32_t>(j0);
    count[i] = static_cast<int32_t>(j1 - j0);
    // Weights from the running total, so that rounding never makes them add up to other
    // than one.
    double running = 0;
    int64_t given = 0;
    for (double w : raw) {
      running += w;
      const int64_t now = std::llround(running / total * kWeightOne);
      weights.push_back(static_cast<uint16_t>(now - given));
      given = now;
    }
  }
}

void Scaler::Axis::DestinationRange(int64_t a, int64_t b, int32_t* d0, int32_t* d1) const {
  // The window pixels whose taps meet [a, b): taps start and end in order along the axis.
  int32_t lo = 0, hi = dst;
  while (lo < hi) {  // first window pixel whose taps end after a
    const int32_t mid = lo + (hi - lo) / 2;
    if (first[mid] + count[mid] > a) hi = mid;
    else lo = mid + 1;
  }
  *d0 = lo;
  hi = dst;
  while (lo < hi) {  // first window pixel whose taps start at or after b
    const int32_t mid = lo + (hi - lo) / 2;
    if (first[mid] >= b) hi = mid;
    else lo = mid + 1;
  }
  *d1 = lo;
}

void Scaler::Configure(int src_width, int src_height, int dst_width, int dst_height) {
  x_.Build(src_width, dst_width);
  y_.Build(src_height, dst_height);
  dst_height_ = dst_height;
  due_begin_.assign(dst_height, INT32_MAX);
  due_end_.assign(dst_height, INT32_MIN);
  due_top_ = dst_height;
  due_bottom_ = 0;
  MarkAll();
}

void Scaler::MarkAll() { MarkChanged({0, 0, x_.src, y_.src}); }

AreaRect Scaler::DestinationOf(const AreaRect& r) const {
  const int64_t l = std::max<int64_t>(r.left, 0), t = std::max<int64_t>(r.top, 0);
  const int64_t rr = std::min<int64_t>(r.right, x_.src), b = std::min<int64_t>(r.bottom, y_.src);
  if (!configured() || l >= rr || t >= b) return {};
  AreaRect d;
  x_.DestinationRange(l, rr, &d.left, &d.right);
  y_.DestinationRange(t, b, &d.top, &d.bottom);
  return d;
}

void Scaler::MarkChanged(const AreaRect& r) {
  const AreaRect d = DestinationOf(r);
  if (d.left >= d.right || d.top >= d.bottom) return;
  for (int32_t y = d.top; y < d.bottom; ++y) {
    due_begin_[y] = std::min(due_begin_[y], d.left);
    due_end_[y] = std::max(due_end_[y], d.right);
  }
  due_top_ = std::min(due_top_, d.top);
  due_bottom_ = std::max(due_bottom_, d.bottom);
}

AreaRect Scaler::Update(const PixelSurface& source, const PixelLayout& layout,
                        PixelSurface& dest) {
  AreaRect done{INT32_MAX, INT32_MAX, INT32_MIN, INT32_MIN};
  if (source.width != x_.src || source.height != y_.src || dest.width != x_.dst ||
      dest.height != y_.dst || dest.bits_per_pixel != 32 || !IsConvertible(layout) ||
      source.bits_per_pixel != layout.bits_per_pixel)
    return {};
  for (int32_t y = due_top_; y < due_bottom_; ++y) {
    if (due_begin_[y] >= due_end_[y]) continue;
    ScaleRow(y, due_begin_[y], due_end_[y], source, layout, dest);
    done = {std::min(done.left, due_begin_[y]), std::min(done.top, y),
            std::max(done.right, due_end_[y]), y + 1};
    due_begin_[y] = INT32_MAX;
    due_end_[y] = INT32_MIN;
  }
  due_top_ = dst_height_;
  due_bottom_ = 0;
  return done.left < done.right ? done : AreaRect{};
}

const uint8_t* Scaler::SourceRow(const PixelSurface& source, const PixelLayout& layout, int y,
                                 int x, int n, int slot) {
  const uint8_t* row = source.bits + y * source.stride;
  if (layout == ServerLayout(32)) return row + int64_t{x} * 4;
  if (!to_rgb32_ || !(row_layout_ == layout)) {
    to_rgb32_ = std::make_unique<PixelConverter>(layout, ServerLayout(32));
    row_layout_ = layout;
  }
  if (static_cast<int>(converted_.size()) <= slot) converted_.resize(slot + 1);
  converted_[slot].resize(n);
  auto* out = reinterpret_cast<uint8_t*>(converted_[slot].data());
  to_rgb32_->ConvertRow(row + int64_t{x} * (layout.bits_per_pixel / 8), out, n);
  return out;
}

namespace {

// 16-byte vectors: GCC and Clang turn these into the machine's vector instructions (SSE2 on
// x86-64) without tying the code to one instruction set.
typedef uint16_t U16x8 __attribute__((vector_size(16)));
typedef uint8_t U8x16 __attribute__((vector_size(16)));

// sums[i] = sum over k of rows[k][i] * weights[k], for n bytes; each row read once. kTaps
// fixes the count (0: count of them), so the usual counts keep their weights in registers.
template <int kTaps>
void WeightRows(const uint8_t* const* rows, const uint16_t* weights, int count,
                uint16_t* __restrict sums, int n) {
  const int taps = kTaps ? kTaps : count;
  U16x8 splat[kTaps ? kTaps : 1];
  if constexpr (kTaps > 0)
    for (int k = 0; k < kTaps; ++k) splat[k] = U16x8{} + weights[k];
  int i = 0;
  for (; i + 16 <= n; i += 16) {
    U16x8 low = {}, high = {};
    for (int k = 0; k < taps; ++k) {
      U8x16 bytes;
      std::memcpy(&bytes, rows[k] + i, sizeof bytes);
      const U16x8 w = kTaps ? splat[k] : U16x8{} + weights[k];
      low += __builtin_convertvector(
                 __builtin_shufflevector(bytes, bytes, 0, 1, 2, 3, 4, 5, 6, 7), U16x8) * w;
      high += __builtin_convertvector(
                  __builtin_shufflevector(bytes, bytes, 8, 9, 10, 11, 12, 13, 14, 15), U16x8) * w;
    }
    std::memcpy(sums + i, &low, sizeof low);
    std::memcpy(sums + i + 8, &high, sizeof high);
  }
  for (; i < n; ++i) {
    uint16_t acc = 0;
    for (int k = 0; k < taps; ++k) acc = static_cast<uint16_t>(acc + rows[k][i] * weights[k]);
    sums[i] = acc;
  }
}

// One window pixel from the sums of kTaps columns (kTaps 0: count of them). Two channels per
// 64-bit word, 32 bits each: a sum times a weight stays below 2^24, so lanes never carry.
template <int kTaps>
uint32_t Blend(const uint16_t* s, const uint16_t* w, int count) {
  constexpr uint64_t kLanes = 0x0000FFFF0000FFFFull;
  uint64_t blue_red = 0x0000800000008000ull, green = 0x8000;  // rounding
  const int n = kTaps ? kTaps : count;
  for (int k = 0; k < n; ++k, s += 4) {
    uint64_t v;
    std::memcpy(&v, s, sizeof v);
    blue_red += (v & kLanes) * w[k];
    green += ((v >> 16) & kLanes) * w[k];
  }
  // Two 8-bit weights: the sums carry 16 bits of fraction.
  return 0xff000000u | static_cast<uint32_t>(blue_red >> 48) << 16 |
         static_cast<uint32_t>((green & 0xFFFFFFFF) >> 16) << 8 |
         static_cast<uint32_t>((blue_red & 0xFFFFFFFF) >> 16);
}

}  // namespace

void Scaler::ScaleRow(int y, int x0, int x1, const PixelSurface& source,
                      const PixelLayout& layout, PixelSurface& dest) {
  const int sx0 = x_.first[x0];
  const int n = x_.first[x1 - 1] + x_.count[x1 - 1] - sx0;
  const int bytes = n * 4;
  sums_.resize(static_cast<std::size_t>(bytes));
  uint16_t* sums = sums_.data();

  // Vertical: the picture rows this window row takes, weighted, per byte. The weights add up
  // to 256, so 255 * 256 fits the 16-bit sums.
  const int taps = y_.count[y];
  rows_.resize(taps);
  for (int k = 0; k < taps; ++k) rows_[k] = SourceRow(source, layout, y_.first[y] + k, sx0, n, k);
  const uint16_t* wy = &y_.weights[y_.offset[y]];
  switch (taps) {
    case 1: WeightRows<1>(rows_.data(), wy, 1, sums, bytes); break;
    case 2: WeightRows<2>(rows_.data(), wy, 2, sums, bytes); break;
    case 3: WeightRows<3>(rows_.data(), wy, 3, sums, bytes); break;
    case 4: WeightRows<4>(rows_.data(), wy, 4, sums, bytes); break;
    case 5: WeightRows<5>(rows_.data(), wy, 5, sums, bytes); break;
    case 6: WeightRows<6>(rows_.data(), wy, 6, sums, bytes); break;
    default: WeightRows<0>(rows_.data(), wy, taps, sums, bytes); break;
  }

  // Horizontal: each window pixel from the sums of the columns it takes; the usual counts
  // unrolled.
  auto* out = reinterpret_cast<uint32_t*>(dest.bits + int64_t{y} * dest.stride) + x0;
  for (int x = x0; x < x1; ++x) {
    const uint16_t* s = sums + (x_.first[x] - sx0) * 4;
    const uint16_t* w = &x_.weights[x_.offset[x]];
    switch (x_.count[x]) {
      case 1: *out++ = Blend<1>(s, w, 1); break;
      case 2: *out++ = Blend<2>(s, w, 2); break;
      case 3: *out++ = Blend<3>(s, w, 3); break;
      case 4: *out++ = Blend<4>(s, w, 4); break;
      case 5: *out++ = Blend<5>(s, w, 5); break;
      case 6: *out++ = Blend<6>(s, w, 6); break;
      default: *out++ = Blend<0>(s, w, x_.count[x]); break;
    }
  }
}

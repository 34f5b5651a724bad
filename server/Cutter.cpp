#include "server/Cutter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "server/Compressor.h"

namespace {

// Aim this far below the payload, so that a prediction seldom has to be corrected.
constexpr double kMargin = 0.9;
// zlib's own bytes in every stream (header, Adler-32, block framing), about.
constexpr double kStreamOverhead = 8;
// A piece never holds more input than this many payloads: a miss then wastes little.
constexpr std::size_t kMaxInputPerPayload = 32;
// The first piece of new content is tried whole up to this many payloads of input.
constexpr std::size_t kWholeTryPayloads = 4;
// Before anything was learnt: compressed bytes per unit of measure that hold for nearly any
// content (the measure counts the bytes of every pixel that differs from its left
// neighbour, and deflate seldom needs more than that).
constexpr double kSafeRatio = 1.25;
// After a miss the ratio rises at least this much.
constexpr double kMissRise = 1.3;
// Pieces of at least this much input (or half a payload) teach the estimate.
constexpr std::size_t kLearnBytes = 4096;
// How much a new observation counts against the estimate.
constexpr double kLearnWeight = 0.5;
// Most rows a piece narrower than its rectangle is given.
constexpr int64_t kMaxPieceRows = 32;
// Long runs are not free: deflate spends about a byte per this many bytes of a run.
constexpr double kRunBytesPerUnit = 128;

}  // namespace

void Cutter::Reset() { ratio_ = 0; }

CutterStats Cutter::TakeStats() {
  return CutterStats{attempts_.exchange(0), misses_.exchange(0), compressed_in_.exchange(0),
                     pieces_.exchange(0)};
}

// What deflate will make of the pixels, in units of about one output byte each (before the
// learnt ratio): the bytes of every pixel that differs from the pixel to its left, plus a
// little for each run. Cheap beside deflate (one pass, whole pixels compared), and it sees
// where text ends and blank rows begin.
// Sixteen bytes of pixels as one value of GCC's and Clang's vector types: plain compares on
// any target, SIMD where there is one.
template <typename Pixel>
struct Lanes;
template <>
struct Lanes<uint32_t> {
  typedef uint32_t Vector __attribute__((vector_size(16)));
};
template <>
struct Lanes<uint16_t> {
  typedef uint16_t Vector __attribute__((vector_size(16)));
};
template <>
struct Lanes<uint8_t> {
  typedef uint8_t Vector __attribute__((vector_size(16)));
};

// Pixels that differ from their left neighbour, sixteen bytes at a time: it runs over every
// pixel a worker compresses, so it must stay cheap beside deflate.
template <typename Pixel>
std::size_t PixelsDiffering(const uint8_t* row, std::size_t pixels) {
  using Vector = typename Lanes<Pixel>::Vector;
  std::size_t differ = 0;
  std::size_t i = 1;
  constexpr std::size_t kLanes = 16 / sizeof(Pixel);
  Vector count{};
  for (; i + kLanes <= pixels; i += kLanes) {
    Vector left, here;
    std::memcpy(&left, row + (i - 1) * sizeof(Pixel), sizeof left);
    std::memcpy(&here, row + i * sizeof(Pixel), sizeof here);
    count -= (Vector)(here != left);  // a lane that differs is all ones: -1
    // A lane of 8 or 16 bits would wrap: fold it in before it can.
    if (sizeof(Pixel) < 4 && (i / kLanes) % 64 == 63) {
      for (std::size_t k = 0; k < kLanes; ++k) differ += static_cast<std::size_t>(count[k]);
      count = Vector{};
    }
  }
  for (std::size_t k = 0; k < kLanes; ++k) differ += static_cast<std::size_t>(count[k]);
  for (; i < pixels; ++i) {
    Pixel left, here;
    std::memcpy(&left, row + (i - 1) * sizeof left, sizeof left);
    std::memcpy(&here, row + i * sizeof here, sizeof here);
    differ += here != left;
  }
  return differ;
}

double Cutter::Measure(const uint8_t* first, std::size_t stride, int64_t width, int64_t rows,
                       int bpp) {
  const std::size_t pb = static_cast<std::size_t>(bpp / 8);
  const std::size_t n = static_cast<std::size_t>(width);
  std::size_t differ = 0;
  for (int64_t y = 0; y < rows; ++y) {
    const uint8_t* p = first + static_cast<std::size_t>(y) * stride;
    differ += 1;  // the first pixel of a row
    switch (bpp) {
      case 32: differ += PixelsDiffering<uint32_t>(p, n); break;
      case 16: differ += PixelsDiffering<uint16_t>(p, n); break;
      case 8: differ += PixelsDiffering<uint8_t>(p, n); break;
      default:  // 24: three bytes a pixel
        for (std::size_t i = 1; i < n; ++i) differ += std::memcmp(p + i * 3, p + (i - 1) * 3, 3) != 0;
    }
  }
  return static_cast<double>(differ * pb) +
         static_cast<double>(n * pb) * static_cast<double>(rows) / kRunBytesPerUnit;
}

double Cutter::Target() const {
  return std::max(1.0, kMargin * (static_cast<double>(Payload()) - kStreamOverhead));
}

double Cutter::Ratio() const { return ratio_ > 0 ? ratio_ : kSafeRatio; }

std::size_t Cutter::InputCap() const {
  return std::min<std::size_t>(kDecodeBufferBytes, kMaxInputPerPayload * Payload());
}

void Cutter::Learn(std::size_t in, std::size_t out, double measure) {
  // Small pieces say little: zlib's own bytes dominate them.
  if (in < std::min<std::size_t>(Payload() / 2, kLearnBytes) || measure <= 0) return;
  const double seen = std::max(1.0, static_cast<double>(out) - kStreamOverhead) / measure;
  ratio_ = ratio_ > 0 ? (1 - kLearnWeight) * ratio_ + kLearnWeight * seen : seen;
}

void Cutter::Missed(double measure) {
  misses_.fetch_add(1, std::memory_order_relaxed);
  // The piece's stream was longer than the payload: its ratio was above this.
  const double above = (static_cast<double>(Payload()) - kStreamOverhead) / std::max(1.0, measure);
  ratio_ = std::max(Ratio() * kMissRise, above / kMargin);
}

void Cutter::Cut(Compressor& c, const CompressJob& job, DatagramList& out) {
  const Rect& r = job.rect;
  const int bpp = job.bpp;
  if (r.IsEmpty()) return;
  if (bpp < 8 || bpp > 32 || bpp % 8) {
    out.Drop(r);
    return;
  }
  budget_ = std::clamp<std::size_t>(job.max_datagram, kUpdateHeaderBytes + 1, kMaxDatagramBytes);
  const std::size_t scan = static_cast<std::size_t>(ScanLineBytes(r.Width(), bpp));
  if (job.new_content) {
    const std::size_t whole = scan * static_cast<std::size_t>(r.Height());
    // Tried unless what was learnt says it cannot fit (the rest of a rectangle that an
    // earlier tick began, for instance).
    if (whole <= std::min<std::size_t>(kDecodeBufferBytes, kWholeTryPayloads * Payload())) {
      const double measure = Measure(job.pixels, job.stride, r.Width(), r.Height(), bpp);
      if (ratio_ == 0 || ratio_ * measure <= static_cast<double>(Payload())) {
        SendPiece(r, r, job.pixels, job.stride, bpp, c, out, measure, true);
        return;
      }
    }
  }
  CutBands(r, job.pixels, job.stride, bpp, c, out, false);
}

void Cutter::CutBands(const Rect& r, const uint8_t* pixels, std::size_t stride, int bpp,
                      Compressor& c, DatagramList& out, bool split) {
  const int64_t height = r.Height();
  const std::size_t scan = static_cast<std::size_t>(ScanLineBytes(r.Width(), bpp));
  // A cut again after a miss reuses the member: measure into a copy kept on the stack's side.
  const std::size_t base = rows_.size();
  rows_.resize(base + static_cast<std::size_t>(height));
  double* rows = rows_.data() + base;
  for (int64_t y = 0; y < height; ++y)
    rows[y] = Measure(pixels + static_cast<std::size_t>(y) * stride, stride, r.Width(), 1, bpp);
  const double target = Target();
  const int64_t cap_rows = std::max<int64_t>(1, static_cast<int64_t>(InputCap() / scan));
  // A cut after a miss must not take the whole piece again.
  const int64_t most = split && height > 1 ? (height + 1) / 2 : height;
  for (int64_t y = 0; y < height;) {
    const double ratio = Ratio();  // what the pieces before taught
    // Whole rows while they are predicted to fit.
    int64_t k = 0;
    double m = 0;
    while (y + k < height && k < cap_rows && k < most &&
           ratio * (m + rows[y + k]) <= target) {
      m += rows[y + k];
      ++k;
    }
    int64_t columns = 1;
    if (k == 0) {
      // Not even one row fits (or a single row missed): a few rows cut into columns,
      // as many rows as fill the datagrams best.
      double best = -1;
      for (int64_t rows_in = 1; rows_in <= std::min(height - y, kMaxPieceRows); ++rows_in) {
        double mk = 0;
        for (int64_t i = 0; i < rows_in; ++i) mk += rows[y + i];
        int64_t cols = static_cast<int64_t>(std::ceil(ratio * mk / target));
        cols = std::max<int64_t>(cols, static_cast<int64_t>((static_cast<std::size_t>(rows_in) * scan + InputCap() - 1) / InputCap()));
        cols = std::clamp<int64_t>(cols, split && rows_in >= height ? 2 : 1, r.Width());
        const double fill = ratio * mk / (static_cast<double>(cols) * target);
        if (fill > best + 0.02) {
          best = fill;
          k = rows_in;
          columns = cols;
        }
      }
    }
    const int32_t y0 = static_cast<int32_t>(r.top + y), y1 = static_cast<int32_t>(r.top + y + k);
    for (int64_t j = 0; j < columns; ++j) {
      const int32_t x0 = static_cast<int32_t>(r.left + r.Width() * j / columns);
      const int32_t x1 = static_cast<int32_t>(r.left + r.Width() * (j + 1) / columns);
      const Rect piece{x0, y0, x1, y1};
      const double measure = columns == 1 ? m : -1;
      SendPiece(piece, r, pixels, stride, bpp, c, out, measure, false);
      rows = rows_.data() + base;  // a nested cut may have moved the measures
    }
    y += k;
  }
  rows_.resize(base);
}

void Cutter::SendPiece(const Rect& piece, const Rect& r, const uint8_t* pixels,
                       std::size_t stride, int bpp, Compressor& c, DatagramList& out,
                       double measure, bool try_whole) {
  const std::size_t pixel_bytes = static_cast<std::size_t>(bpp / 8);
  const std::size_t scan = static_cast<std::size_t>(ScanLineBytes(piece.Width(), bpp));
  const std::size_t rows = static_cast<std::size_t>(piece.Height());
  const std::size_t n = scan * rows;
  const uint8_t* first = pixels + static_cast<std::size_t>(piece.top - r.top) * stride +
                         static_cast<std::size_t>(piece.left - r.left) * pixel_bytes;
  if (measure < 0) {
    measure = Measure(first, stride, piece.Width(), piece.Height(), bpp);
    // A column of uneven content may be predicted over the payload on its own: cut it
    // before compressing rather than after.
    if (!try_whole && piece.Height() * piece.Width() > 1 &&
        Ratio() * measure > static_cast<double>(Payload()) - kStreamOverhead) {
      CutBands(piece, first, stride, bpp, c, out, true);
      return;
    }
  }
  const uint8_t* in = first;
  const std::size_t used = static_cast<std::size_t>(piece.Width()) * pixel_bytes;
  // Rows that are not contiguous, or whose filler bytes are not ours to send (the next
  // pixels of a wider capture), are packed, each padded with zeros.
  if (rows > 1 ? stride != scan || used != scan : used != scan) {
    packed_.resize(n);
    for (std::size_t y = 0; y < rows; ++y) {
      std::memcpy(&packed_[y * scan], first + y * stride, used);
      std::memset(&packed_[y * scan + used], 0, scan - used);
    }
    in = packed_.data();
  }
  // The datagram's room reaches past its budget by the compressor's slack (its trailer's and
  // the next datagram's place, both free yet): the stream is made where it goes.
  uint8_t* d = out.Begin(budget_ + Compressor::kSlack);
  if (!d) {
    out.Drop(piece);  // no memory for its datagram
    return;
  }
  attempts_.fetch_add(1, std::memory_order_relaxed);
  compressed_in_.fetch_add(n, std::memory_order_relaxed);
  const std::size_t length =
      c.Compress(in, n, d + kUpdateHeaderBytes, Payload(), Payload() + Compressor::kSlack);
  if (length > 0) {
    Learn(n, length, measure);
    EncodeUpdateHeader(UpdateHeader{UPDATE_BLOCK, static_cast<uint16_t>(length), piece.left,
                                    piece.top, piece.right, piece.bottom},
                       d);
    pieces_.fetch_add(1, std::memory_order_relaxed);
    out.Commit(kUpdateHeaderBytes + length);
    return;
  }
  // Stored blocks hold any input this small, and a single pixel cannot be cut: the piece
  // cannot be made.
  if (n + n / 256 + 64 <= Payload() || (piece.Width() == 1 && piece.Height() == 1)) {
    out.Drop(piece);
    return;
  }
  Missed(measure);
  // Cut the piece again from its own pixels, into more than one piece.
  CutBands(piece, first, stride, bpp, c, out, true);
}

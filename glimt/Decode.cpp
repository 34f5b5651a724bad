#include "glimt/Decode.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>

#include "Common/Log.h"

DatagramCheck CheckDatagram(const uint8_t* data, std::size_t n, UpdateHeader& header) {
  if (!DecodeUpdateHeader(data, n, header)) return DatagramCheck::kShort;
  switch (header.kind) {
    case UPDATE_AREA:
    case UPDATE_POINTER:
      return DatagramCheck::kUse;
    case UPDATE_BLOCK: {
      if (kUpdateHeaderBytes + header.length > n) return DatagramCheck::kTruncated;
      BlockSize size;
      if (!BlockGeometry(header, kSmallestServerDepth, &size)) return DatagramCheck::kBadRect;
      return DatagramCheck::kUse;
    }
    default:
      return DatagramCheck::kUnknownKind;
  }
}

bool IsUsableArea(const AreaRect& a) {
  const int64_t w = int64_t{a.right} - a.left;
  const int64_t h = int64_t{a.bottom} - a.top;
  return w > 0 && h > 0 && w <= kMaxPictureSide && h <= kMaxPictureSide;
}

int32_t ScaleCoordinate(int64_t value, int64_t client, int64_t span) {
  if (span <= 0) return 0;
  // |value| < 2^33 and |client| < 2^31 here, so the product fits in 64 bits.
  const int64_t q = value * client / span;
  return static_cast<int32_t>(std::clamp<int64_t>(q, INT32_MIN, INT32_MAX));
}

void ScalePoint(const AreaRect& a, int cw, int ch, int32_t x, int32_t y, int32_t* cx,
                int32_t* cy) {
  *cx = ScaleCoordinate(int64_t{x} - a.left, cw, int64_t{a.right} - a.left);
  *cy = ScaleCoordinate(int64_t{y} - a.top, ch, int64_t{a.bottom} - a.top);
}

AreaRect ScaleRect(const AreaRect& a, int cw, int ch, const AreaRect& r) {
  const int64_t sw = int64_t{a.right} - a.left, sh = int64_t{a.bottom} - a.top;
  AreaRect out;
  out.left = ScaleCoordinate(int64_t{r.left} - a.left, cw, sw);
  out.top = ScaleCoordinate(int64_t{r.top} - a.top, ch, sh);
  out.right = ScaleCoordinate(int64_t{r.right} - a.left, cw, sw);
  out.bottom = ScaleCoordinate(int64_t{r.bottom} - a.top, ch, sh);
  return out;
}

AreaRect InvalidationRect(const AreaRect& a, int cw, int ch, const AreaRect& r) {
  AreaRect out = ScaleRect(a, cw, ch, r);
  const bool scaled = int64_t{cw} != int64_t{a.right} - a.left ||
                      int64_t{ch} != int64_t{a.bottom} - a.top;
  if (scaled) {
    out.left = out.left <= INT32_MIN + 1 ? INT32_MIN : out.left - 2;
    out.top = out.top <= INT32_MIN + 1 ? INT32_MIN : out.top - 2;
    out.right = out.right >= INT32_MAX - 1 ? INT32_MAX : out.right + 2;
    out.bottom = out.bottom >= INT32_MAX - 1 ? INT32_MAX : out.bottom + 2;
  }
  out.left = std::clamp(out.left, 0, std::max(cw, 0));
  out.top = std::clamp(out.top, 0, std::max(ch, 0));
  out.right = std::clamp(out.right, 0, std::max(cw, 0));
  out.bottom = std::clamp(out.bottom, 0, std::max(ch, 0));
  return out;
}

bool BlockGeometry(const UpdateHeader& h, int bits_per_pixel, BlockSize* size) {
  const int64_t w = int64_t{h.right} - h.left;
  const int64_t hh = int64_t{h.bottom} - h.top;
  if (w <= 0 || hh <= 0 || bits_per_pixel <= 0) return false;
  const int64_t s = ScanLineBytes(w, bits_per_pixel);
  // w < 2^33 and s < 2^39: a height above the buffer size already fails, so no overflow.
  if (hh > static_cast<int64_t>(kDecodeBufferBytes) ||
      s > static_cast<int64_t>(kDecodeBufferBytes) ||
      hh * s > static_cast<int64_t>(kDecodeBufferBytes))
    return false;
  *size = {w, hh, s, hh * s};
  return true;
}

namespace {

// Per thread, made once: a decompressor and the decode buffer. Reused, not zeroed: the
// decoder clears what a short stream leaves unwritten.
struct InflateScratch {
  libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
  std::unique_ptr<uint8_t[]> buffer{new uint8_t[kDecodeBufferBytes]};
  ~InflateScratch() { libdeflate_free_decompressor(decompressor); }
};

InflateScratch& Scratch() {
  thread_local InflateScratch scratch;
  return scratch;
}

// zlib's inflate, which tells a full buffer from a damaged stream and always reports how much
// it wrote.
Inflated InflateStreaming(const uint8_t* in, std::size_t in_len, uint8_t* out, std::size_t cap,
                          std::size_t* produced) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return Inflated::kBroken;
  z.next_in = const_cast<Bytef*>(in);
  z.avail_in = static_cast<uInt>(in_len);
  z.next_out = out;
  z.avail_out = static_cast<uInt>(cap);
  const int rc = inflate(&z, Z_FINISH);
  *produced = cap - z.avail_out;
  inflateEnd(&z);
  if (rc == Z_STREAM_END) return Inflated::kEnded;
  if (rc == Z_BUF_ERROR && z.avail_out == 0) return Inflated::kFilled;
  return Inflated::kBroken;
}

}  // namespace

Inflated InflateInto(const uint8_t* in, std::size_t in_len, uint8_t* out, std::size_t cap,
                     std::size_t* produced) {
  *produced = 0;
  libdeflate_decompressor* d = Scratch().decompressor;
  std::size_t n = 0;
  if (d && libdeflate_zlib_decompress(d, in, in_len, out, cap, &n) == LIBDEFLATE_SUCCESS) {
    *produced = n;
    return Inflated::kEnded;
  }
  // libdeflate says neither how far a failed stream got nor what it left in the buffer, and
  // its "no room" and "bad data" do not follow the same line as a full buffer and a broken
  // stream (a stream cut after exactly 262,144 bytes is bad data to it, a full buffer here).
  // Only damaged and over-long streams come this way: let the streaming inflate judge them.
  return InflateStreaming(in, in_len, out, cap, produced);
}

namespace {

// n 32-bit pixels with the top byte set (the picture is 0xffRRGGBB), four at a time.
void CopyOpaque(const uint8_t* __restrict src, uint8_t* __restrict dst, int64_t n) {
  typedef uint32_t U32x4 __attribute__((vector_size(16)));
  const U32x4 opaque = U32x4{} + 0xff000000u;
  int64_t i = 0;
  for (; i + 4 <= n; i += 4) {
    U32x4 v;
    std::memcpy(&v, src + i * 4, sizeof v);
    v |= opaque;
    std::memcpy(dst + i * 4, &v, sizeof v);
  }
  for (; i < n; ++i) {
    std::memcpy(dst + i * 4, src + i * 4, 3);
    dst[i * 4 + 3] = 0xff;
  }
}

}  // namespace

int ServerDepth::Judge(int64_t width, int64_t height, std::size_t produced, bool ended) {
  int fits = 0, count = 0;
  bool known_fits = false;
  for (int bpp : kServerDepths) {
    const int64_t bytes = height * ScanLineBytes(width, bpp);
    if (bytes > static_cast<int64_t>(kDecodeBufferBytes) ||
        static_cast<std::size_t>(bytes) != produced)
      continue;
    fits = bpp;
    ++count;
    known_fits = known_fits || bpp == bits_per_pixel_;
  }
  if (ended && count == 1) {
    if (bits_per_pixel_ && fits != bits_per_pixel_)
      Trace("server depth %d -> %d\n", bits_per_pixel_, fits);
    bits_per_pixel_ = fits;
    return fits;
  }
  if (count == 0 || known_fits) return bits_per_pixel_;
  return 0;
}

BlockDecoder::BlockDecoder(const PixelLayout& picture) : picture_(picture) {}

const PixelConverter* BlockDecoder::ConverterFrom(int bpp) {
  std::unique_ptr<PixelConverter>& c = converters_[bpp / 8 - 1];
  if (!c) c = std::make_unique<PixelConverter>(ServerLayout(bpp), picture_);
  return c.get();
}

DecodeResult BlockDecoder::Decode(PixelSurface& pic, const AreaRect& area,
                                  const uint8_t* datagram, DecodeInfo* info) {
  DecodeInfo local;
  DecodeInfo& out = info ? *info : local;
  out = DecodeInfo{};
  UpdateHeader h;
  DecodeUpdateHeader(datagram, kUpdateHeaderBytes, h);
  BlockSize bs;
  if (h.kind != UPDATE_BLOCK || !pic.bits || pic.bits_per_pixel != picture_.bits_per_pixel ||
      !IsConvertible(picture_) || !BlockGeometry(h, kSmallestServerDepth, &bs))
    return DecodeResult::kSkipped;

  uint8_t* const buffer = Scratch().buffer.get();
  std::size_t produced = 0;
  const Inflated how = InflateInto(datagram + kUpdateHeaderBytes, h.length, buffer,
                                   kDecodeBufferBytes, &produced);
  out.produced = produced;
  if (how == Inflated::kBroken) return DecodeResult::kSkipped;
  const int server_bpp = depth_.Judge(bs.width, bs.height, produced, how == Inflated::kEnded);
  out.server_bits_per_pixel = server_bpp;
  if (server_bpp == 0 || server_bpp == 8 || !BlockGeometry(h, server_bpp, &bs))
    return DecodeResult::kSkipped;
  const std::size_t taken = std::min<std::size_t>(produced, bs.bytes);
  if (produced != static_cast<std::size_t>(bs.bytes))
    Trace("bad block (%d, %d)\n", static_cast<int>(taken), static_cast<int>(produced));
  // Rows a short stream never wrote show black, never an earlier block's pixels.
  std::memset(buffer + taken, 0, bs.bytes - taken);

  const int dst_bytes = pic.bits_per_pixel / 8, src_bytes = server_bpp / 8;
  const PixelConverter* convert =
      server_bpp == pic.bits_per_pixel ? nullptr : ConverterFrom(server_bpp);
  const int64_t x0 = int64_t{h.left} - area.left;
  const int64_t y0 = int64_t{h.top} - area.top;
  const int64_t sx_begin = std::max<int64_t>(0, -x0);
  const int64_t sx_end = std::min<int64_t>(bs.width, pic.width - x0);
  const int64_t sy_begin = std::max<int64_t>(0, -y0);
  const int64_t sy_end = std::min<int64_t>(bs.height, pic.height - y0);
  if (sx_begin < sx_end && sy_begin < sy_end) {
    const int64_t run = sx_end - sx_begin;
    for (int64_t y = sy_begin; y < sy_end; ++y) {
      uint8_t* dst = pic.bits + (y0 + y) * pic.stride + (x0 + sx_begin) * dst_bytes;
      const uint8_t* src = buffer + y * bs.scan_line + sx_begin * src_bytes;
      if (convert) {
        convert->ConvertRow(src, dst, run);
        continue;
      }
      if (dst_bytes == 4) CopyOpaque(src, dst, run);
      else std::memcpy(dst, src, static_cast<std::size_t>(run * dst_bytes));
    }
    out.drawn = {static_cast<int32_t>(x0 + sx_begin), static_cast<int32_t>(y0 + sy_begin),
                 static_cast<int32_t>(x0 + sx_end), static_cast<int32_t>(y0 + sy_end)};
  }
  return how == Inflated::kEnded && produced == static_cast<std::size_t>(bs.bytes)
             ? DecodeResult::kDrawn
             : DecodeResult::kDrawnShort;
}

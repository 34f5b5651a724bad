#include "glimt/PixelConvert.h"

#include <bit>

PixelLayout ServerLayout(int bits_per_pixel) {
  switch (bits_per_pixel) {
    case 16: return {16, 0xF800, 0x07E0, 0x001F};
    case 24: return {24, 0xFF0000, 0x00FF00, 0x0000FF};
    case 32: return {32, 0xFF0000, 0x00FF00, 0x0000FF};
    default: return {};
  }
}

namespace {

bool Contiguous(uint32_t mask) {
  if (mask == 0) return false;
  const uint32_t low = mask >> std::countr_zero(mask);
  return (low & (low + 1)) == 0;
}

int Shift(uint32_t mask) { return std::countr_zero(mask); }
int Width(uint32_t mask) { return std::popcount(mask); }

// value of `from_bits` bits to `to_bits` bits, rounded to the nearest level.
uint32_t Rescale(uint32_t value, int from_bits, int to_bits) {
  const uint64_t from_max = (uint64_t{1} << from_bits) - 1;
  const uint64_t to_max = (uint64_t{1} << to_bits) - 1;
  return static_cast<uint32_t>((value * to_max * 2 + from_max) / (from_max * 2));
}

uint32_t Load(const uint8_t* p, int bytes) {
  uint32_t v = p[0] | uint32_t{p[1]} << 8;
  if (bytes > 2) v |= uint32_t{p[2]} << 16;
  if (bytes > 3) v |= uint32_t{p[3]} << 24;
  return v;
}

}  // namespace

bool IsConvertible(const PixelLayout& l) {
  if (l.bits_per_pixel != 16 && l.bits_per_pixel != 24 && l.bits_per_pixel != 32) return false;
  const uint64_t pixel = (uint64_t{1} << l.bits_per_pixel) - 1;
  for (uint32_t m : {l.red_mask, l.green_mask, l.blue_mask})
    if (!Contiguous(m) || m > pixel || Width(m) > 16) return false;
  return (l.red_mask & l.green_mask) == 0 && (l.red_mask & l.blue_mask) == 0 &&
         (l.green_mask & l.blue_mask) == 0;
}

PixelConverter::PixelConverter(const PixelLayout& from, const PixelLayout& to)
    : from_(from), to_(to) {
  if (!IsConvertible(from) || !IsConvertible(to)) return;
  const uint32_t from_masks[3] = {from.red_mask, from.green_mask, from.blue_mask};
  const uint32_t to_masks[3] = {to.red_mask, to.green_mask, to.blue_mask};
  if (to.bits_per_pixel == 32) fill_ = ~(to.red_mask | to.green_mask | to.blue_mask);
  if (from.bits_per_pixel == 16) {
    table_.resize(65536);
    for (uint32_t p = 0; p < 65536; ++p) {
      uint32_t out = fill_;
      for (int c = 0; c < 3; ++c) {
        const uint32_t v = (p & from_masks[c]) >> Shift(from_masks[c]);
        out |= Rescale(v, Width(from_masks[c]), Width(to_masks[c])) << Shift(to_masks[c]);
      }
      table_[p] = out;
    }
    return;
  }
  int offset = 0;
  for (int c = 0; c < 3; ++c) {
    shift_[c] = Shift(from_masks[c]);
    mask_[c] = from_masks[c] >> shift_[c];
    offset_[c] = offset;
    const int width = Width(from_masks[c]);
    for (uint32_t v = 0; v <= mask_[c]; ++v)
      table_.push_back(Rescale(v, width, Width(to_masks[c])) << Shift(to_masks[c]));
    offset += static_cast<int>(mask_[c]) + 1;
  }
}

template <int kFrom, int kTo>
void PixelConverter::Convert(const uint8_t* src, uint8_t* dst, int64_t n) const {
  // Locals: stores through dst (bytes) could alias the members, which the compiler would then
  // read again for every pixel.
  const uint32_t* t = table_.data();
  const uint32_t* red = t + offset_[0];
  const uint32_t* green = t + offset_[1];
  const uint32_t* blue = t + offset_[2];
  const int rs = shift_[0], gs = shift_[1], bs = shift_[2];
  const uint32_t rm = mask_[0], gm = mask_[1], bm = mask_[2], fill = fill_;
  // Channels that are whole bytes (every ordinary 24- and 32-bit layout) are looked up by
  // byte, without shifts by amounts held in variables.
  const bool bytes = kFrom > 2 && rm == 0xFF && gm == 0xFF && bm == 0xFF && rs % 8 == 0 &&
                     gs % 8 == 0 && bs % 8 == 0;
  for (int64_t i = 0; i < n; ++i, src += kFrom, dst += kTo) {
    uint32_t out;
    if constexpr (kFrom == 2) {
      out = t[Load(src, 2)];
    } else if (bytes) {
      out = fill | red[src[rs / 8]] | green[src[gs / 8]] | blue[src[bs / 8]];
    } else {
      const uint32_t p = Load(src, kFrom);
      out = fill | red[(p >> rs) & rm] | green[(p >> gs) & gm] | blue[(p >> bs) & bm];
    }
    dst[0] = static_cast<uint8_t>(out);
    dst[1] = static_cast<uint8_t>(out >> 8);
    if constexpr (kTo > 2) dst[2] = static_cast<uint8_t>(out >> 16);
    if constexpr (kTo > 3) dst[3] = static_cast<uint8_t>(out >> 24);
  }
}

void PixelConverter::ConvertRow(const uint8_t* src, uint8_t* dst, int64_t n) const {
  if (table_.empty() || n <= 0) return;
  const int from = from_.bits_per_pixel / 8, to = to_.bits_per_pixel / 8;
  // One instance per pair, so that the loads and stores compile to fixed widths.
  switch (from * 8 + to) {
    case 2 * 8 + 2: Convert<2, 2>(src, dst, n); break;
    case 2 * 8 + 3: Convert<2, 3>(src, dst, n); break;
    case 2 * 8 + 4: Convert<2, 4>(src, dst, n); break;
    case 3 * 8 + 2: Convert<3, 2>(src, dst, n); break;
    case 3 * 8 + 3: Convert<3, 3>(src, dst, n); break;
    case 3 * 8 + 4: Convert<3, 4>(src, dst, n); break;
    case 4 * 8 + 2: Convert<4, 2>(src, dst, n); break;
    case 4 * 8 + 3: Convert<4, 3>(src, dst, n); break;
    case 4 * 8 + 4: Convert<4, 4>(src, dst, n); break;
  }
}

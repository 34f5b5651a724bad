#pragma once
// Pixels from one display layout into another, for a server whose display runs at another
// depth than the viewer's. A layout is a packed little-endian pixel of 16, 24 or 32 bits and
// one contiguous mask per colour, as an X TrueColor visual describes it. No X11 or Qt here.
#include <cstdint>
#include <vector>

struct PixelLayout {
  int bits_per_pixel = 0;  // 16, 24 or 32
  uint32_t red_mask = 0, green_mask = 0, blue_mask = 0;
  bool operator==(const PixelLayout&) const = default;
};

// What a server's blocks carry at a depth; the datagram says nothing more, so this is the
// layout of every ordinary display: 5-6-5 at 16 bits; blue, green, red (and a pad byte at 32)
// at 24 and 32. Depths without a layout (8: palette indexes) give bits_per_pixel 0.
PixelLayout ServerLayout(int bits_per_pixel);

// 16, 24 or 32 bits, three non-empty contiguous masks of at most 16 bits each inside the pixel.
bool IsConvertible(const PixelLayout& layout);

// Converts rows between two convertible layouts. Each channel is rescaled to the width of its
// destination mask with rounding (5 bits to 8 and back gives the same value); bits of a 32-bit
// destination that no mask covers are set, as 0xffRRGGBB pictures need.
class PixelConverter {
 public:
  PixelConverter(const PixelLayout& from, const PixelLayout& to);
  void ConvertRow(const uint8_t* src, uint8_t* dst, int64_t pixels) const;

 private:
  template <int kFrom, int kTo>
  void Convert(const uint8_t* src, uint8_t* dst, int64_t pixels) const;

  PixelLayout from_, to_;
  // A 16-bit source: the destination pixel of each of the 65,536 source pixels. Otherwise
  // one table per channel, indexed by the channel's value, holding its destination bits.
  std::vector<uint32_t> table_;
  int shift_[3] = {}, offset_[3] = {};  // a 24/32-bit source: channel position, table start
  uint32_t mask_[3] = {};
  uint32_t fill_ = 0;
};

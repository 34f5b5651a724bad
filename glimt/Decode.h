#pragma once
// Portable half of the viewer's receive side: what a datagram must satisfy before it is
// used, the mapping from server coordinates to the window's client area, and the decoder
// that writes a block's pixels into the picture. No X11 or Qt here; the picture is a plain
// pixel buffer that the window side wraps around its QImage.
#include <cstddef>
#include <cstdint>
#include "Common/UpdateHeader.h"

struct AreaRect {
  int32_t left = 0, top = 0, right = 0, bottom = 0;
};

// Largest picture side: X roots and QImage both stop at 32767 pixels.
constexpr int64_t kMaxPictureSide = 32767;

enum class DatagramCheck {
  kUse,          // header read, fit for its kind
  kShort,        // fewer than 20 bytes
  kTruncated,    // a block whose length runs past the bytes received
  kBadRect,      // a block with an empty, inverted or oversized rectangle
  kUnknownKind,  // a kind other than 0, 1 and 2
};

// Judges a datagram of n received bytes; fills header when n >= 20. Bytes past 20 + length
// are ignored. bits_per_pixel is the local display's, used for the block size limit.
DatagramCheck CheckDatagram(const uint8_t* data, std::size_t n, int bits_per_pixel,
                            UpdateHeader& header);

// An area is taken only with 0 < width, height <= 32767 (right/bottom are exclusive).
bool IsUsableArea(const AreaRect& area);

// value * client / span, formed in 64 bits, truncated toward zero, clamped to the int range.
// span <= 0 yields 0.
int32_t ScaleCoordinate(int64_t value, int64_t client, int64_t span);

// Server point to client point: (x - area.left) * cw / (area width), likewise for y.
void ScalePoint(const AreaRect& area, int cw, int ch, int32_t x, int32_t y, int32_t* cx,
                int32_t* cy);
// Server rectangle to the client rectangle of the same scaling.
AreaRect ScaleRect(const AreaRect& area, int cw, int ch, const AreaRect& r);
// The client rectangle to repaint for a block: ScaleRect, widened by one client pixel on each
// side when the picture is scaled (nearest-neighbour sampling may draw a block's pixel into a
// client pixel that the truncated rectangle leaves out), clipped to the client area.
AreaRect InvalidationRect(const AreaRect& area, int cw, int ch, const AreaRect& r);

// Block geometry: W, H and S in 64 bits. False when W <= 0, H <= 0 or H*S exceeds the
// 262,144-byte decode buffer.
struct BlockSize {
  int64_t width, height, scan_line, bytes;
};
bool BlockGeometry(const UpdateHeader& header, int bits_per_pixel, BlockSize* size);

// The picture as the decoder sees it: the pixels of the broadcast area, rows top to bottom.
struct PixelSurface {
  uint8_t* bits = nullptr;
  int width = 0, height = 0;
  int64_t stride = 0;       // bytes per row
  int bits_per_pixel = 0;   // 8, 16, 24 or 32
};

// One-shot inflate of the zlib stream in[0..in_len) into out (cap bytes), with libdeflate;
// a stream that fails there is judged again by zlib's streaming inflate, so that the outcome
// is the one the stream has for a one-shot inflate of cap bytes:
//   kEnded   the stream ended and its checksum held; *produced bytes written (at most cap)
//   kFilled  out filled before the stream ended, without damage in what filled it
//   kBroken  damaged, or cut short before out filled
// Bytes of out past *produced are undefined. Any thread (each has its own decompressor).
enum class Inflated { kEnded, kFilled, kBroken };
Inflated InflateInto(const uint8_t* in, std::size_t in_len, uint8_t* out, std::size_t cap,
                     std::size_t* produced);

enum class DecodeResult {
  kDrawn,       // all H*S bytes came from the stream
  kDrawnShort,  // the stream ended early or ran past H*S: drawn from what it wrote ("bad block")
  kSkipped,     // bad rectangle, too big, damaged or truncated stream: picture untouched
};

// Inflates the block of a checked datagram into a 262,144-byte buffer and copies its
// rectangle into the picture at (left - area.left, top - area.top), clipped to the picture.
// At 32 bpp the top byte of each pixel is set (the picture is 0xffRRGGBB). produced, when
// given, receives the number of bytes the stream yielded.
DecodeResult DecodeBlockInto(PixelSurface& picture, const AreaRect& area,
                             const uint8_t* datagram, std::size_t* produced = nullptr);

#pragma once
// Portable half of the viewer's receive side: what a datagram must satisfy before it is
// used, the mapping from server coordinates to the window's client area, and the decoder
// that writes a block's pixels into the picture. No X11 or Qt here; the picture is a plain
// pixel buffer that the window side wraps around its QImage.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "Common/UpdateHeader.h"
#include "glimt/PixelConvert.h"

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
// are ignored. The server's depth is learnt only when a block is inflated, so a block passes
// when it fits the decode buffer at the smallest depth; the decoder applies the real limit.
DatagramCheck CheckDatagram(const uint8_t* data, std::size_t n, UpdateHeader& header);

// The depths a server's blocks can come at; the smallest bounds the block size check.
constexpr int kServerDepths[] = {8, 16, 24, 32};
constexpr int kSmallestServerDepth = 8;

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
// The client rectangle to repaint for a block: ScaleRect, widened by two client pixels on each
// side when the picture is scaled (nearest-neighbour sampling may draw a block's pixel into a
// client pixel that the truncated rectangle leaves out, and the smooth reduction's kernel
// reaches one window pixel from its centre), clipped to the client area.
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
  int bits_per_pixel = 0;   // 16, 24 or 32
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
  kSkipped,     // bad rectangle, too big, damaged stream, unknown or 8-bit server depth
};

// The server's bits per pixel, as its blocks tell it: a block inflates to H*S bytes, S the
// scan line at the server's depth. The first block whose stream ends at exactly one of those
// lengths decides; the decision holds until Forget (a new UPDATE_AREA) or until a block fits
// exactly one other depth, which then wins: such a block cannot come from the old layout.
class ServerDepth {
 public:
  int bits_per_pixel() const { return bits_per_pixel_; }  // 0: not known yet
  void Forget() { bits_per_pixel_ = 0; }
  // The depth to take a width x height block at that inflated to produced bytes (ended: the
  // stream ended there), or 0 to skip it. A length that fits no depth (a short or long
  // stream) or several (a 1-pixel-wide block: 8 and 16, 24 and 32 give the same scan line)
  // is taken at the known depth if it allows it, and skipped while none is known.
  int Judge(int64_t width, int64_t height, std::size_t produced, bool ended);

 private:
  int bits_per_pixel_ = 0;
};

struct DecodeInfo {
  std::size_t produced = 0;       // bytes the stream yielded
  int server_bits_per_pixel = 0;  // the depth the block was taken at, 0 when none
  AreaRect drawn;                 // picture pixels written, empty when none
};

// Decodes blocks into the picture on the window thread. Keeps the server's depth between
// blocks (the decode buffer is the thread's, as the decompressor). Blocks at the picture's own depth are copied as they are;
// other 16, 24 and 32-bit blocks are converted from ServerLayout into the picture's layout.
// Blocks of an 8-bit server are never drawn: they are colour-table indexes without the table.
class BlockDecoder {
 public:
  explicit BlockDecoder(const PixelLayout& picture);
  // Inflates the block of a checked datagram and copies its rectangle into the picture at
  // (left - area.left, top - area.top), clipped to the picture. At 32 bpp the pad bits of each
  // pixel are set (the picture is 0xffRRGGBB).
  DecodeResult Decode(PixelSurface& picture, const AreaRect& area, const uint8_t* datagram,
                      DecodeInfo* info = nullptr);
  ServerDepth& depth() { return depth_; }

 private:
  const PixelConverter* ConverterFrom(int bits_per_pixel);

  PixelLayout picture_;
  ServerDepth depth_;
  std::unique_ptr<PixelConverter> converters_[4];  // by server bytes per pixel - 1
};

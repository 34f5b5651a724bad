// One datagram through the viewer's receive path after a fixed UPDATE_AREA: the checks the
// receive thread makes, the block queue, the invalidation rectangle and the decoder into a
// fixed picture. Input: one byte choosing the display's layout (16, 24, 32 bpp, or 32 with
// red in the low byte), then the datagram exactly as received; the server's depth is whatever
// the block's length says.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "glimt/BlockQueue.h"
#include "glimt/Decode.h"

namespace {
constexpr int kWidth = 96, kHeight = 64;          // the broadcast area (0, 0, 96, 64)
constexpr int kClientWidth = 61, kClientHeight = 37;  // scaled window: odd factors on purpose
constexpr uint8_t kFill = 0x5A;

void Require(bool ok) {
  if (!ok) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  static const PixelLayout kLayouts[4] = {ServerLayout(16), ServerLayout(24), ServerLayout(32),
                                          {32, 0xFF, 0xFF00, 0xFF0000}};
  const PixelLayout layout = kLayouts[data[0] & 3];
  const int bpp = layout.bits_per_pixel;
  ++data;
  --size;
  if (size > kReceiveBufferBytes) return 0;

  // The picture, with a margin on both sides that no block may touch.
  const int64_t stride = int64_t{kWidth} * (bpp / 8);
  const std::size_t margin = 4096;
  std::vector<uint8_t> memory(margin * 2 + static_cast<std::size_t>(stride * kHeight), kFill);
  PixelSurface picture{memory.data() + margin, kWidth, kHeight, stride, bpp};
  const AreaRect area{0, 0, kWidth, kHeight};
  Require(IsUsableArea(area));

  // Exactly the bytes received, so any read past them is caught.
  uint8_t* buffer = new uint8_t[size ? size : 1];
  std::memcpy(buffer, data, size);
  UpdateHeader h;
  bool queued = false;
  if (CheckDatagram(buffer, size, h) == DatagramCheck::kUse) {
    Require(size >= kUpdateHeaderBytes);
    if (h.kind == UPDATE_AREA) {
      (void)IsUsableArea(AreaRect{h.left, h.top, h.right, h.bottom});
    } else if (h.kind == UPDATE_POINTER) {
      int32_t x = 0, y = 0;
      ScalePoint(area, kClientWidth, kClientHeight, h.left, h.top, &x, &y);
    } else {
      Require(h.kind == UPDATE_BLOCK && kUpdateHeaderBytes + h.length <= size);
      BlockQueue queue;
      queued = queue.Append(buffer);
      Require(queued);
      const AreaRect r{h.left, h.top, h.right, h.bottom};
      const AreaRect inv = InvalidationRect(area, kClientWidth, kClientHeight, r);
      Require(inv.left >= 0 && inv.top >= 0 && inv.right <= kClientWidth &&
              inv.bottom <= kClientHeight);
      BlockDecoder decoder(layout);
      const int drawn = DrainBlocks(queue, [&](uint8_t* datagram) {
        decoder.Decode(picture, area, datagram);
      });
      Require(drawn == 1);
      queue.Lock();
      Require(queue.count() == 0 && !queue.first() && !queue.last());
      queue.Unlock();
      // Pixels outside the block's rectangle keep their value; the margins stay untouched.
      const int bytes = bpp / 8;
      for (int y = 0; y < kHeight; ++y) {
        const bool row_in = y >= h.top && y < int64_t{h.bottom};
        for (int x = 0; x < kWidth; ++x) {
          if (row_in && x >= h.left && x < int64_t{h.right}) continue;
          for (int b = 0; b < bytes; ++b)
            Require(picture.bits[y * stride + x * bytes + b] == kFill);
        }
      }
      for (std::size_t i = 0; i < margin; ++i)
        Require(memory[i] == kFill && memory[memory.size() - 1 - i] == kFill);
    }
  }
  if (!queued) delete[] buffer;  // DrainBlocks frees what the queue took
  return 0;
}

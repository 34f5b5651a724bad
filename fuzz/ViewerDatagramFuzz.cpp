// One datagram through the viewer's receive path after a fixed UPDATE_AREA: the checks the
// receive thread makes, the block queue, the invalidation rectangle and the decoder into a
// fixed picture. Input: one byte, then the datagram exactly as received. The byte's bits 0-1
// choose the display's layout (16, 24, 32 bpp, or 32 with red in the low byte); the server's
// depth is whatever the block's length says. Every datagram first passes the receive
// thread's stream key gate. With bit 2 set the viewer has a stream key (kFuzzStreamKey) and
// the rest is a run of records, each through the gate and, when admitted, less its trailer
// through the same path:
//   [u16 n][u8 clock step, 100 ms each][n bytes as received]
// With bits 2 and 3 set each record is sealed here, so that sessions, the replay window and
// the loss count see any numbers the fuzzer makes, not only those of the seeds:
//   [u16 n][u8 clock step][u64 session][u64 sequence][n bytes of header and payload]
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <utility>
#include <vector>

#include "Common/StreamKey.h"
#include "fuzz/FuzzStreamKey.h"
#include "glimt/BlockQueue.h"
#include "glimt/Decode.h"
#include "glimt/StreamGate.h"

namespace {
constexpr int kWidth = 96, kHeight = 64;          // the broadcast area (0, 0, 96, 64)
constexpr int kClientWidth = 61, kClientHeight = 37;  // scaled window: odd factors on purpose
constexpr uint8_t kFill = 0x5A;

void Require(bool ok) {
  if (!ok) std::abort();
}

StreamKey FuzzKey() {
  StreamKey key;
  key.SetRaw(kFuzzStreamKey);
  return key;
}

// The receive path from the datagram check on, for size bytes of data.
void RunDatagram(const uint8_t* data, std::size_t size, const PixelLayout& layout) {
  if (size > kReceiveBufferBytes) return;
  const int bpp = layout.bits_per_pixel;

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
  if (CheckDatagram(buffer, size, h) == DatagramCheck::kUse) {
    Require(size >= kUpdateHeaderBytes);
    if (h.kind == UPDATE_AREA) {
      (void)IsUsableArea(AreaRect{h.left, h.top, h.right, h.bottom});
    } else if (h.kind == UPDATE_POINTER) {
      int32_t x = 0, y = 0;
      ScalePoint(area, kClientWidth, kClientHeight, h.left, h.top, &x, &y);
    } else {
      Require(h.kind == UPDATE_BLOCK && kUpdateHeaderBytes + h.length <= size);
      // Queued as the receive thread queues it: header and payload in a buffer of their own
      // size, so that any read past the payload is caught.
      const std::size_t block_size = kUpdateHeaderBytes + h.length;
      uint8_t* block = new uint8_t[block_size];
      std::memcpy(block, buffer, block_size);
      BlockQueue queue;
      Require(queue.Append(block, block_size) == 0);
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
  delete[] buffer;
}

uint64_t Get64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v |= uint64_t{p[i]} << (8 * i);
  return v;
}

// A viewer without a key: the gate passes every datagram whole, and the socket's drops are the
// stream's loss.
void RunUnkeyed(const uint8_t* data, std::size_t size, const PixelLayout& layout) {
  StreamGate gate{StreamKey()};
  const StreamGate::Admission a = gate.Admit(data, size, 0);
  Require(a.use && a.length == size && !a.drop_line);
  Require(gate.NewLoss(size) == size && gate.lost() == 0 && gate.refused() == 0);
  RunDatagram(data, a.length, layout);
}

// A keyed viewer: every record through one gate, what it admits through the path.
void RunKeyed(const uint8_t* data, std::size_t size, const PixelLayout& layout, bool reseal) {
  static const StreamKey sealing = FuzzKey();
  StreamGate gate(FuzzKey());
  Require(gate.keyed());
  const StreamChecker& checker = *gate.checker();
  std::set<std::pair<uint64_t, uint64_t>> accepted;
  const std::size_t head = reseal ? 19 : 3;
  int64_t now = 0, last_line = -1;
  for (int records = 0; records < 64 && size >= head; ++records) {
    const std::size_t n = static_cast<std::size_t>(data[0] | (data[1] << 8));
    now += int64_t{data[2]} * 100;
    if (size - head < n) return;
    // Exactly the bytes received, so any read past them is caught.
    const std::size_t received = reseal ? n + kStreamTrailerBytes : n;
    uint8_t* buffer = new uint8_t[received ? received : 1];
    std::memcpy(buffer, data + head, n);
    if (reseal) AppendStreamTrailer(sealing, buffer, n, Get64(data + 3), Get64(data + 11));
    data += head + n;
    size -= head + n;

    const StreamGate::Admission r = gate.Admit(buffer, received, now);
    if (r.use) {
      // Whole, and never the same (session, sequence) twice: no replay gets through (64
      // records leave at most 63 sessions behind, all of which the checker remembers).
      Require(received >= kUpdateHeaderBytes + kStreamTrailerBytes);
      Require(r.length == received - kStreamTrailerBytes);
      Require(r.length == kUpdateHeaderBytes + (buffer[2] | (buffer[3] << 8)));
      const uint64_t session = Get64(buffer + r.length);
      const uint64_t sequence = Get64(buffer + r.length + 8);
      Require(checker.session() == session);
      Require(accepted.insert({session, sequence}).second);
      RunDatagram(buffer, r.length, layout);
    } else if (r.drop_line) {
      // One line per burst: lines at least a burst gap apart.
      Require(*r.drop_line && (last_line < 0 || now - last_line >= kDropBurstGapMs));
      last_line = now;
    }
    delete[] buffer;
  }
  // Each loss is told once, and the socket's drops are never added to the gaps.
  (void)gate.NewLoss(0);
  Require(gate.NewLoss(1000) == 0);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  static const PixelLayout kLayouts[4] = {ServerLayout(16), ServerLayout(24), ServerLayout(32),
                                          {32, 0xFF, 0xFF00, 0xFF0000}};
  const PixelLayout& layout = kLayouts[data[0] & 3];
  const bool keyed = data[0] & 4, reseal = data[0] & 8;
  if (keyed) RunKeyed(data + 1, size - 1, layout, reseal);
  else RunUnkeyed(data + 1, size - 1, layout);
  return 0;
}

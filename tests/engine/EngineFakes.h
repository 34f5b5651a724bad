#pragma once
// Fakes and decoders shared by the engine tests: a scripted screen, a recording datagram
// sink, and a decoder that turns a datagram stream back into a picture.
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "Common/UpdateHeader.h"
#include "platform/Rect.h"
#include "platform/Region.h"
#include "platform/Screen.h"
#include "server/Sampler.h"
#include "server/SendQueue.h"
#include "server/ServerState.h"

namespace enginetest {

// Pixels are a function of the position; 32-bit pixels keep their fourth byte 0 as the real
// screen does.
class FakeScreen : public ScreenSource {
 public:
  // kFlat: bands that compress well; kRandom: nothing compresses; kText: dark glyphs in
  // lines of 15 rows on white, from an alphabet of 96 (deflate finds the repeats, as in real
  // text); kPhoto: smooth gradients with sensor-like noise; kScripted: the bytes of `script`.
  enum class Content { kFlat, kRandom, kText, kPhoto, kScripted };
  FakeScreen(int width, int height, int bpp, Content content = Content::kFlat)
      : width_(width), height_(height), bpp_(bpp), content_(content) {}

  Rect ClipBox() override { return Rect{0, 0, width_, height_}; }
  int BitsPerPixel() override { return bpp_; }

  static uint64_t Mix(uint64_t v) {
    v ^= v >> 13;
    v *= 0x9E3779B97F4A7C15ull;
    v ^= v >> 29;
    return v;
  }

  // Byte i of the pixel at (x, y); zero off the screen.
  uint8_t Byte(int64_t x, int64_t y, int i) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return 0;
    if (bpp_ == 32 && i == 3) return 0;
    if (x >= painted.left && x < painted.right && y >= painted.top && y < painted.bottom)
      return paint;
    uint64_t v = static_cast<uint64_t>(x) * 2654435761u + static_cast<uint64_t>(y) * 40503u +
                 static_cast<uint64_t>(i) * 977u;
    switch (content_) {
      case Content::kRandom:
        return static_cast<uint8_t>(Mix(v) >> 17);
      case Content::kText: {
        const int64_t line = y / 15, row = y % 15, cell = x / 8;
        if (row >= 11 || x % 8 == 7 || (Mix(static_cast<uint64_t>(line * 7919 + cell / 9)) & 7) == 0)
          return 0xff;  // line gap, letter gap, word gap
        const uint64_t letter = Mix(static_cast<uint64_t>(line * 1000003 + cell)) % 96;
        const bool ink = (Mix(letter * 131 + static_cast<uint64_t>(row * 8 + x % 8)) & 3) == 0;
        return ink ? 0x20 : 0xff;
      }
      case Content::kPhoto: {
        const int noise = static_cast<int>(Mix(v) >> 40) % 25 - 12;
        const int base = i == 0 ? static_cast<int>(y * 255 / height_)
                                : i == 1 ? static_cast<int>(128 + 100 * std::sin(x / 90.0) * std::cos(y / 70.0))
                                         : static_cast<int>(x * 255 / width_);
        return static_cast<uint8_t>(std::clamp(base + noise, 0, 255));
      }
      case Content::kScripted: {
        const std::size_t at = (static_cast<std::size_t>(y) * width_ + static_cast<std::size_t>(x)) * (bpp_ / 8) + i;
        return at < script.size() ? script[at] : 0;
      }
      case Content::kFlat:
        break;
    }
    return static_cast<uint8_t>((y / 16 + i) & 0xff);  // bands: compresses well
  }

  bool Capture(const Rect& r, uint8_t* out, std::size_t stride) override {
    captures.push_back(r);
    if (capture_delay.count() > 0) std::this_thread::sleep_for(capture_delay);
    if (fail_captures > 0) {
      --fail_captures;
      return false;
    }
    const int bytes = bpp_ / 8;
    const std::size_t scan = static_cast<std::size_t>(ScanLineBytes(r.Width(), bpp_));
    for (int64_t y = r.top; y < r.bottom; ++y) {
      uint8_t* row = out + static_cast<std::size_t>(y - r.top) * stride;
      memset(row, 0, scan);
      for (int64_t x = r.left; x < r.right; ++x)
        for (int i = 0; i < bytes; ++i)
          row[static_cast<std::size_t>(x - r.left) * bytes + i] = Byte(x, y, i);
    }
    return true;
  }

  bool PointerPosition(int32_t* x, int32_t* y) override {
    ++pointer_reads;
    if (pointer_script) pointer_script(pointer_reads, &px, &py);
    *x = px;
    *y = py;
    return true;
  }

  std::vector<Rect> captures;
  std::vector<uint8_t> script;  // kScripted: the pixels' bytes, rows of width * bpp/8
  std::chrono::milliseconds capture_delay{0};  // a slow screen
  Rect painted{};  // a client painted this rectangle with bytes of `paint`
  uint8_t paint = 0;
  int fail_captures = 0;
  int32_t px = 0, py = 0;
  int pointer_reads = 0;
  std::function<void(int call, int32_t* x, int32_t* y)> pointer_script;

 private:
  int width_, height_, bpp_;
  Content content_;
};

struct Datagram {
  UpdateHeader h;
  std::vector<uint8_t> bytes;  // the whole datagram
};

// Decodes one block: false when the stream is broken or does not hold exactly H x S bytes.
inline bool InflateBlock(const Datagram& d, int bpp, std::vector<uint8_t>& pixels) {
  const int64_t s = ScanLineBytes(int64_t{d.h.right} - d.h.left, bpp);
  const int64_t n = s * (int64_t{d.h.bottom} - d.h.top);
  if (n <= 0 || n > static_cast<int64_t>(kDecodeBufferBytes)) return false;
  pixels.assign(kDecodeBufferBytes, 0);
  uLongf out = kDecodeBufferBytes;
  if (uncompress(pixels.data(), &out, d.bytes.data() + kUpdateHeaderBytes, d.h.length) != Z_OK)
    return false;
  return static_cast<int64_t>(out) == n;
}

// Where the sampler hands its datagrams, in tests: records them in order, holds at most
// `capacity` bytes of blocks (as the sender's queue counts them) until Drain().
class RecordingOutput : public DatagramOutput {
 public:
  std::size_t capacity = SIZE_MAX / 2;
  std::size_t trailer = 0;
  std::size_t queued = 0, most_queued = 0;
  int flushes = 0;
  std::vector<Datagram> sent;  // blocks and control, in the order handed over

  std::size_t Room() override { return queued < capacity ? capacity - queued : 0; }
  bool PushBlock(std::vector<uint8_t> d) override {
    const std::size_t cost = d.size() + 64;
    if (queued + cost > capacity) return false;
    queued += cost;
    most_queued = std::max(most_queued, queued);
    Record(d);
    return true;
  }
  void Flush() override { ++flushes; }
  void PushControl(std::vector<uint8_t> d) override { Record(d); }
  std::size_t TrailerBytes() override { return trailer; }
  void Drain() { queued = 0; }

 private:
  void Record(const std::vector<uint8_t>& d) {
    Datagram g;
    g.bytes = d;
    DecodeUpdateHeader(d.data(), d.size(), g.h);
    sent.push_back(std::move(g));
  }
};

// Resets the shared state of the server for one test.
inline void FreshServerState() {
  if (!g_mutex) g_mutex = new std::mutex;
  if (!g_dirty_region) g_dirty_region = new Region;
  g_dirty_region->Clear();
  g_full_refresh = 0;
  g_cursor_changed = 0;
  g_compression_level = 1;
  g_max_datagram = 1472;
  g_max_rate = 50000;
  g_refresh_cycle = 0;  // on where a test says so: the cycle repeats areas and slices
  SetSamplerTickBudget(std::chrono::nanoseconds(0));  // one tick does it all, however slow
}

}  // namespace enginetest

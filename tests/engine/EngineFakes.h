#pragma once
// Fakes and decoders shared by the engine tests: a scripted screen, a recording datagram
// sink, and a decoder that turns a datagram stream back into a picture.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
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
#include "server/CompressPool.h"
#include "server/Sampler.h"
#include "server/Sender.h"
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
    // The capture's number in the first two bytes: no two captures give the same pixel.
    if (changes_every_capture && i < 2) return static_cast<uint8_t>(generation >> (8 * i));
    return static_cast<uint8_t>((y / 16 + i) & 0xff);  // bands: compresses well
  }

  bool Capture(const Rect& r, uint8_t* out, std::size_t stride) override {
    captures.push_back(r);
    if (changes_every_capture) ++generation;
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
  // kFlat: every capture gives other pixels (up to 65536 of them), so that every damaged
  // pixel really changed.
  bool changes_every_capture = false;
  int generation = 0;
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

// Where the sampler hands its pointer and area datagrams, in tests: records them; the test
// plays the sender and takes the blocks from the pool when it likes, so that the pool may
// lag behind the sampler.
class RecordingOutput : public DatagramOutput {
 public:
  std::size_t trailer = 0;
  std::vector<Datagram> sent;  // control as handed over, blocks as taken from the pool

  void PushControl(std::vector<uint8_t> d) override { Record(d.data(), d.size()); }
  std::size_t TrailerBytes() override { return trailer; }
  // Takes at most max results from the pool, in order, as the sender does; how many.
  std::size_t TakeBlocks(CompressPool& pool, std::size_t max = SIZE_MAX) {
    std::size_t taken = 0;
    for (; taken < max && pool.Pending() > 0; ++taken) {
      const CompressPool::Result* r = pool.Next(std::chrono::seconds(10));
      if (!r) break;
      for (std::size_t i = 0; i < r->datagrams->Count(); ++i) {
        // The room kept for the trailer follows the datagram; it must be there.
        if (r->datagrams->Spare() != trailer) ADD_FAILURE() << "spare " << r->datagrams->Spare();
        Record(r->datagrams->Data(i), r->datagrams->Length(i));
      }
      pool.Release();
    }
    return taken;
  }

 private:
  void Record(const uint8_t* data, std::size_t n) {
    Datagram g;
    g.bytes.assign(data, data + n);
    DecodeUpdateHeader(data, n, g.h);
    sent.push_back(std::move(g));
  }
};

// Applies every block in the order handed over to a picture of the screen's size; false
// when a block does not decode.
inline bool Replay(const std::vector<Datagram>& sent, FakeScreen& screen, const Rect& area,
            std::vector<uint8_t>& picture) {
  const int bpp = screen.BitsPerPixel(), pb = bpp / 8;
  std::vector<uint8_t> pixels;
  for (const Datagram& d : sent) {
    if (d.h.kind != UPDATE_BLOCK) continue;
    if (!InflateBlock(d, bpp, pixels)) return false;
    const int64_t s = ScanLineBytes(int64_t{d.h.right} - d.h.left, bpp);
    for (int64_t y = d.h.top; y < d.h.bottom; ++y)
      for (int64_t x = d.h.left; x < d.h.right; ++x)
        for (int i = 0; i < pb; ++i)
          picture[static_cast<std::size_t>(((y - area.top) * area.Width() + (x - area.left)) * pb + i)] =
              pixels[static_cast<std::size_t>((y - d.h.top) * s + (x - d.h.left) * pb + i)];
  }
  return true;
}

// Bytes of picture (area's pixels, as Replay leaves them) that differ from the screen's.
inline long WrongBytes(const std::vector<uint8_t>& picture, FakeScreen& screen, const Rect& area) {
  const int pb = screen.BitsPerPixel() / 8;
  long wrong = 0;
  for (int64_t y = area.top; y < area.bottom; ++y)
    for (int64_t x = area.left; x < area.right; ++x)
      for (int i = 0; i < pb; ++i)
        wrong += picture[static_cast<std::size_t>(((y - area.top) * area.Width() + (x - area.left)) *
                                                  pb + i)] != screen.Byte(x, y, i);
  return wrong;
}

// Records what goes out and when; can fail every datagram.
class RecordingTransport : public DatagramTransport {
 public:
  std::size_t Send(const DatagramRef* batch, std::size_t count, int* error) override {
    std::lock_guard<std::mutex> hold(mutex);
    ++calls;
    if (fail) {
      *error = ENETUNREACH;
      return 0;
    }
    const auto now = std::chrono::steady_clock::now();
    datagrams += count;
    for (std::size_t i = 0; keep && i < count; ++i)
      sent.push_back({now, DatagramBytes(batch[i].data, batch[i].data + batch[i].size)});
    return count;
  }
  struct Sent {
    std::chrono::steady_clock::time_point at;
    DatagramBytes d;
  };
  std::vector<Sent> Take() {
    std::lock_guard<std::mutex> hold(mutex);
    return sent;
  }
  std::mutex mutex;
  std::vector<Sent> sent;
  int calls = 0;
  std::size_t datagrams = 0;
  bool keep = true;  // false: only counted (keeping them allocates)
  std::atomic<bool> fail{false};
};

// Appends a sequence number and a mark: shows the order of sealing and the room left for it.
// Refuses the datagrams whose first byte is `refuse`, as a sealer whose numbers are spent.
class CountingSealer : public DatagramSealer {
 public:
  std::size_t TrailerBytes() const override { return 16; }
  std::size_t Seal(uint8_t* d, std::size_t n) override {
    if (d[0] == refuse) return 0;
    const uint64_t seq = next++;
    std::memcpy(d + n, &seq, 8);
    std::memcpy(d + n + 8, "SEALSEAL", 8);
    return n + 16;
  }
  uint64_t next = 0;
  int refuse = -1;
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
  // No broadcast area, so no picture sent to compare with: every damaged pixel goes, where a
  // test does not set an area.
  g_clip = ClipRect{};
  SetSamplerTickBudget(std::chrono::nanoseconds(0));  // one tick does it all, however slow
}

}  // namespace enginetest

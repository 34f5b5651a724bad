#include "server/Sampler.h"

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "Common/Log.h"
#include "Common/MulticastSocket.h"
#include "Common/UpdateHeader.h"
#include "platform/Region.h"
#include "platform/Screen.h"
#include "server/ServerState.h"

static const char kModule[] = "server/Sampler";

namespace {

using Clock = std::chrono::steady_clock;

// A capture holds at most this many bytes; larger rectangles are captured in row bands. The
// whole 1920x1080x32 screen (8 MB) still goes in one grab.
constexpr std::size_t kMaxCaptureBytes = 16u << 20;
// Aim a little below the payload limit when the size of a cut is estimated from an earlier
// result, so that the estimate seldom has to be corrected.
constexpr double kEstimateMargin = 0.9;
// Only pieces of at least this many bytes teach the estimate.
constexpr std::size_t kLearnBytes = 32768;

struct Buffer {
  uint8_t* data = nullptr;
  std::size_t size = 0;
};

struct SamplerState {
  ScreenSource* screen = nullptr;  // injected; nullptr: ServerScreen()
  DatagramSink sink;
  SamplerRealloc realloc_fn = nullptr;
  int32_t last_x = 0, last_y = 0;
  Buffer capture;  // pixels of one rectangle band, rows of S bytes
  Buffer columns;  // one row cut by columns
  Buffer rects;    // the tick's copy of the dirty region (Rect array)
  uint8_t datagram[kMaxDatagramBytes];
  z_stream z{};
  bool z_ready = false;
  int z_level = 1;
  bool failure_logged = false;  // at most one failure line per tick
  int bad_level_logged = 0x7fffffff;
  bool timing = false;
  SamplerTimes times;
  // Compressed bytes per input byte of the last piece: predicts how many rows of the next
  // strip fit one datagram.
  double ratio = 0;
};

SamplerState& S() {
  static SamplerState* s = new SamplerState;  // used until the process ends
  return *s;
}

double Since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

void* DefaultRealloc(void* old, std::size_t bytes) { return realloc(old, bytes); }

bool Grow(Buffer& b, std::size_t bytes) {
  if (b.size >= bytes) return true;
  SamplerRealloc fn = S().realloc_fn ? S().realloc_fn : DefaultRealloc;
  void* p = fn(b.data, bytes);
  if (!p) return false;  // the old buffer stays valid and owned
  b.data = static_cast<uint8_t*>(p);
  b.size = bytes;
  return true;
}

void Release(Buffer& b) {
  free(b.data);
  b = Buffer{};
}

void Failure(const char* what, const Rect& r) {
  SamplerState& s = S();
  if (s.failure_logged) return;
  s.failure_logged = true;
  LogLine("Strip (%d,%d)-(%d,%d) dropped: %s", r.left, r.top, r.right, r.bottom, what);
}

ScreenSource* Screen() { return S().screen ? S().screen : ServerScreen(); }

void Emit(const uint8_t* data, std::size_t n) {
  SamplerState& s = S();
  Clock::time_point t0;
  if (s.timing) t0 = Clock::now();
  if (s.sink)
    s.sink(data, n);
  else
    SendDatagram(g_multicast_sock, g_group, g_port, data, static_cast<int>(n));
  if (s.timing) {
    s.times.send_s += Since(t0);
    ++s.times.datagrams;
    s.times.bytes += n;
  }
}

// The deflate state is made once and reset for every piece: the same stream as compress2
// gives, without allocating its 256 KB of state per strip.
bool ReadyCompressor() {
  SamplerState& s = S();
  const int level = EffectiveCompressionLevel(g_compression_level);
  if (level != g_compression_level && s.bad_level_logged != g_compression_level) {
    s.bad_level_logged = g_compression_level;
    LogLine("Compression level %d is not one of -1..9: level 1 is used", g_compression_level);
  }
  if (s.z_ready && s.z_level == level) return deflateReset(&s.z) == Z_OK;
  if (s.z_ready) deflateEnd(&s.z);
  s.z = z_stream{};
  s.z_ready = deflateInit(&s.z, level) == Z_OK;
  s.z_level = level;
  return s.z_ready;
}

enum class Packed { kSent, kTooBig, kFailed };

// Compresses n bytes into the datagram buffer and sends the block r when the stream fits one
// datagram. On kTooBig, *consumed is the input deflate had taken when the payload was full.
Packed SendPiece(const Rect& r, const uint8_t* pixels, std::size_t n, std::size_t* consumed) {
  SamplerState& s = S();
  Clock::time_point t0;
  if (s.timing) t0 = Clock::now();
  if (!ReadyCompressor()) return Packed::kFailed;
  s.z.next_in = const_cast<Bytef*>(pixels);
  s.z.avail_in = static_cast<uInt>(n);
  s.z.next_out = s.datagram + kUpdateHeaderBytes;
  s.z.avail_out = static_cast<uInt>(kMaxBlockPayload);
  int rc;
  do {
    rc = deflate(&s.z, Z_FINISH);
  } while (rc == Z_OK && s.z.avail_out > 0);
  if (s.timing) {
    s.times.compress_s += Since(t0);
    s.times.deflated_in += s.z.total_in;
  }
  if (rc != Z_STREAM_END) {
    if (rc == Z_OK || rc == Z_BUF_ERROR) {
      *consumed = s.z.total_in;
      return Packed::kTooBig;
    }
    return Packed::kFailed;
  }
  const std::size_t length = s.z.total_out;
  // Small pieces say little about the next strip (zlib's own bytes dominate them).
  if (n >= kLearnBytes) s.ratio = static_cast<double>(length) / static_cast<double>(n);
  EncodeUpdateHeader(UpdateHeader{UPDATE_BLOCK, static_cast<uint16_t>(length), r.left, r.top,
                                  r.right, r.bottom},
                     s.datagram);
  Emit(s.datagram, kUpdateHeaderBytes + length);
  SendPointer();
  return Packed::kSent;
}

// One row whose stream does not fit: halve it by columns until the pieces fit. A single
// pixel is at most a few bytes, so the recursion ends.
void SendRowByColumns(const Rect& r, const uint8_t* row, int bpp) {
  const int64_t w = r.Width();
  if (w <= 1) {
    Failure("a single pixel does not fit a datagram", r);
    return;
  }
  const int32_t mid = static_cast<int32_t>(r.left + w / 2);
  const Rect halves[2] = {{r.left, r.top, mid, r.bottom}, {mid, r.top, r.right, r.bottom}};
  const std::size_t pixel_bytes = static_cast<std::size_t>(bpp / 8);
  for (const Rect& h : halves) {
    const std::size_t hs = static_cast<std::size_t>(ScanLineBytes(h.Width(), bpp));
    if (!Grow(S().columns, hs)) {
      Failure("no memory for a column cut", h);
      continue;
    }
    // The scratch row is shared by the recursion: copy the half out of the parent's row first.
    uint8_t* piece = S().columns.data;
    const uint8_t* src = row + static_cast<std::size_t>(h.left - r.left) * pixel_bytes;
    memmove(piece, src, static_cast<std::size_t>(h.Width()) * pixel_bytes);
    memset(piece + static_cast<std::size_t>(h.Width()) * pixel_bytes, 0,
           hs - static_cast<std::size_t>(h.Width()) * pixel_bytes);
    std::size_t consumed = 0;
    Packed p = SendPiece(h, piece, hs, &consumed);
    if (p == Packed::kFailed) Failure("compression failed", h);
    if (p != Packed::kTooBig) continue;
    // Keep our own copy: the recursion reuses the scratch buffer.
    uint8_t* copy = static_cast<uint8_t*>(malloc(hs));
    if (!copy) {
      Failure("no memory for a column cut", h);
      continue;
    }
    memcpy(copy, piece, hs);
    SendRowByColumns(h, copy, bpp);
    free(copy);
  }
}

// Rows of a strip whose compressed form would fit one datagram, from the last ratio seen.
int64_t PredictRows(int64_t rows, std::size_t scan) {
  const double ratio = S().ratio;
  if (ratio <= 0) return rows;
  const double fit = kEstimateMargin * static_cast<double>(kMaxBlockPayload) / (ratio * static_cast<double>(scan));
  if (fit >= static_cast<double>(rows)) return rows;
  return fit < 1 ? 1 : static_cast<int64_t>(fit);
}

// Sends the strip r whose pixels (rows of scan bytes) are at pixels, in as few pieces of
// equal height as are predicted to fit, and corrects the prediction when a piece does not.
void SendStrip(const Rect& r, const uint8_t* pixels, std::size_t scan, int bpp) {
  int64_t y = r.top;
  while (y < r.bottom) {
    const int64_t left_rows = r.bottom - y;
    int64_t rows = PredictRows(left_rows, scan);
    // Spread the rows evenly over the pieces, so that the last one is not a sliver.
    const int64_t pieces = (left_rows + rows - 1) / rows;
    rows = (left_rows + pieces - 1) / pieces;
    for (;;) {
      const Rect piece{r.left, static_cast<int32_t>(y), r.right, static_cast<int32_t>(y + rows)};
      const uint8_t* data = pixels + static_cast<std::size_t>(y - r.top) * scan;
      std::size_t consumed = 0;
      Packed p = SendPiece(piece, data, static_cast<std::size_t>(rows) * scan, &consumed);
      if (p == Packed::kSent) break;
      if (p == Packed::kFailed) {
        Failure("compression failed", piece);
        break;
      }
      if (rows == 1) {
        SendRowByColumns(piece, data, bpp);
        break;
      }
      // The payload filled after `consumed` input bytes: that many (less a margin) fit.
      int64_t fit = static_cast<int64_t>(kEstimateMargin * static_cast<double>(consumed) /
                                         static_cast<double>(scan));
      if (fit >= rows) fit = rows / 2;
      rows = fit < 1 ? 1 : fit;
      S().ratio = static_cast<double>(kMaxBlockPayload) / static_cast<double>(consumed ? consumed : 1);
    }
    y += rows;
  }
}

// Sends one rectangle no wider than a block row allows: captured in bands of whole strips,
// each band once, the strips cut from it in memory.
void SendSlab(ScreenSource* screen, const Rect& r, int bpp) {
  SamplerState& s = S();
  const int64_t w = r.Width();
  const std::size_t scan = static_cast<std::size_t>(ScanLineBytes(w, bpp));
  const int64_t step = StripRows(w, static_cast<int64_t>(scan));
  int64_t band_rows = static_cast<int64_t>(kMaxCaptureBytes / scan) / step * step;
  if (band_rows < step) band_rows = step;
  for (int64_t y = r.top; y < r.bottom; y += band_rows) {
    const int64_t y1 = std::min<int64_t>(y + band_rows, r.bottom);
    const Rect band{r.left, static_cast<int32_t>(y), r.right, static_cast<int32_t>(y1)};
    const std::size_t bytes = static_cast<std::size_t>(y1 - y) * scan;
    if (!Grow(s.capture, bytes)) {
      Failure("no memory for the pixels", band);
      continue;
    }
    Clock::time_point t0;
    if (s.timing) t0 = Clock::now();
    bool captured = screen->Capture(band, s.capture.data, scan);
    if (s.timing) s.times.capture_s += Since(t0);
    for (int64_t sy = y; sy < y1; sy += step) {
      const Rect strip{r.left, static_cast<int32_t>(sy), r.right,
                       static_cast<int32_t>(std::min<int64_t>(sy + step, y1))};
      uint8_t* pixels = s.capture.data + static_cast<std::size_t>(sy - y) * scan;
      if (!captured) {
        // The band failed as a whole: try its strips alone, so that only bad ones drop.
        if (s.timing) t0 = Clock::now();
        bool ok = screen->Capture(strip, pixels, scan);
        if (s.timing) s.times.capture_s += Since(t0);
        if (!ok) {
          Failure("the screen could not be read", strip);
          continue;
        }
      }
      SendStrip(strip, pixels, scan, bpp);
    }
  }
}

void SendRectangle(const Rect& r) {
  if (r.IsEmpty()) return;
  ScreenSource* screen = Screen();
  if (!screen) return;  // no screen: the strip is dropped without a report
  const int bpp = screen->BitsPerPixel();
  if (bpp <= 0) return;
  // Each rectangle is new content: its first strip is tried whole, so compressible content
  // is never cut for what came before it.
  S().ratio = 0;
  // One row must fit the viewer's 262144-byte buffer: wider rectangles go as column slabs.
  int64_t slab = static_cast<int64_t>(kDecodeBufferBytes) * 8 / bpp;
  while (slab > 1 && ScanLineBytes(slab, bpp) > static_cast<int64_t>(kDecodeBufferBytes)) --slab;
  for (int64_t x = r.left; x < r.right; x += slab) {
    const int64_t x1 = std::min<int64_t>(x + slab, r.right);
    SendSlab(screen, Rect{static_cast<int32_t>(x), r.top, static_cast<int32_t>(x1), r.bottom}, bpp);
  }
}

// Copies the dirty region and empties it within one hold of g_mutex. The copy buffer is
// grown outside the lock; false (region untouched) when it cannot be.
bool TakeDirtyRegion(std::size_t* count) {
  SamplerState& s = S();
  for (;;) {
    std::size_t n;
    {
      std::lock_guard<std::mutex> hold(*g_mutex);
      n = g_dirty_region->CopyRectangles(reinterpret_cast<Rect*>(s.rects.data),
                                         s.rects.size / sizeof(Rect));
      if (n <= s.rects.size / sizeof(Rect)) {
        g_dirty_region->Clear();
        *count = n;
        return true;
      }
    }
    if (!Grow(s.rects, n * sizeof(Rect))) return false;
  }
}

}  // namespace

int64_t StripRows(int64_t width, int64_t scan_line_bytes) {
  if (width <= 0 || scan_line_bytes <= 0) return 1;
  int64_t rows = STRIP_PIXELS / width + 8;
  const int64_t fit = static_cast<int64_t>(kDecodeBufferBytes) / scan_line_bytes;
  if (fit < rows) rows = fit;
  return rows < 1 ? 1 : rows;
}

int EffectiveCompressionLevel(int stored_level) {
  return stored_level >= -1 && stored_level <= 9 ? stored_level : 1;
}

void ScreenTick() {
  SamplerState& s = S();
  s.failure_logged = false;
  if (!g_dirty_region || !g_mutex) return;
  if (g_full_refresh.exchange(0)) {
    uint8_t area[kUpdateHeaderBytes];
    EncodeUpdateHeader(UpdateHeader{UPDATE_AREA, 0, g_clip.left, g_clip.top, g_clip.right,
                                    g_clip.bottom},
                       area);
    Emit(area, sizeof area);
    std::lock_guard<std::mutex> hold(*g_mutex);
    g_dirty_region->Replace(Rect{g_clip.left, g_clip.top, g_clip.right, g_clip.bottom});
  }
  std::size_t n = 0;
  if (!TakeDirtyRegion(&n)) {
    // The region keeps its rectangles for the next tick.
    LogLine("No memory to copy the changed area; it is sent at the next tick");
    return;
  }
  const Rect* rects = reinterpret_cast<const Rect*>(s.rects.data);
  for (std::size_t i = 0; i < n; ++i) SendRectangle(rects[i]);
}

void SendBlock(const Rect& strip) { SendRectangle(strip); }

void SendPointer() {
  if (!g_cursor_changed.load()) return;
  ScreenSource* screen = Screen();
  int32_t x, y;
  if (!screen || !screen->PointerPosition(&x, &y)) return;
  SamplerState& s = S();
  // Unmoved: the flag stays set, so the next movement goes out without a new notification.
  if (x == s.last_x && y == s.last_y) return;
  s.last_x = x;
  s.last_y = y;
  uint8_t datagram[kUpdateHeaderBytes];
  EncodeUpdateHeader(UpdateHeader{UPDATE_POINTER, 0, x, y, 0, 0}, datagram);
  Emit(datagram, sizeof datagram);
  g_cursor_changed.store(0);
}

void SetSamplerScreen(ScreenSource* screen) { S().screen = screen; }
void SetSamplerSink(DatagramSink sink) { S().sink = std::move(sink); }
void SetSamplerRealloc(SamplerRealloc fn) { S().realloc_fn = fn; }

void ResetSampler() {
  SamplerState& s = S();
  s.last_x = s.last_y = 0;
  Release(s.capture);
  Release(s.columns);
  Release(s.rects);
  s.ratio = 0;
  s.bad_level_logged = 0x7fffffff;
  s.times = SamplerTimes{};
}

void EnableSamplerTimes(bool on) { S().timing = on; }

SamplerTimes TakeSamplerTimes() {
  SamplerTimes t = S().times;
  S().times = SamplerTimes{};
  return t;
}

#include "server/Sampler.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "Common/Log.h"
#include "Common/UpdateHeader.h"
#include "platform/Region.h"
#include "platform/Screen.h"
#include "server/Compressor.h"
#include "server/Cutter.h"
#include "server/Pacer.h"
#include "server/RefreshCycle.h"
#include "server/Sender.h"
#include "server/ServerState.h"

namespace {

using Clock = std::chrono::steady_clock;

// A capture holds at most this many bytes (and at least one strip); larger rectangles are
// captured in row bands, so that a tick that runs out of time or room has not read the
// screen far beyond where it stops.
constexpr std::size_t kMaxCaptureBytes = 2u << 20;

struct Buffer {
  uint8_t* data = nullptr;
  std::size_t size = 0;
};

// The output behind SetSamplerSink: everything at once, nothing ever full.
class SinkOutput : public DatagramOutput {
 public:
  DatagramSink sink;
  std::size_t Room() override { return SIZE_MAX / 2; }
  bool PushBlock(DatagramBytes d) override {
    sink(d.data(), d.size());
    return true;
  }
  void Flush() override {}
  void PushControl(DatagramBytes d) override { sink(d.data(), d.size()); }
  std::size_t TrailerBytes() override { return 0; }
};

struct SamplerState {
  ScreenSource* screen = nullptr;  // injected; nullptr: ServerScreen()
  DatagramOutput* output = nullptr;
  SinkOutput sink;
  SamplerRealloc realloc_fn = nullptr;
  SamplerClock clock;
  int32_t last_x = 0, last_y = 0;
  Buffer capture;  // pixels of one rectangle band, rows of S bytes
  Buffer rects;    // the tick's copy of the dirty region (Rect array)
  Cutter cutter;
  std::unique_ptr<Compressor> compressor;
  RefreshGate gate;
  RefreshCycle cycle;
  std::size_t handed_wire = 0;  // wire bytes handed over, for the healing share
  bool failure_logged = false;  // at most one failure line per tick
  int bad_level_logged = 0x7fffffff;
  bool timing = false;
  SamplerTimes times;
  std::chrono::nanoseconds budget{std::chrono::milliseconds(20)};  // 0: none
  Clock::time_point tick_start{};
  bool sent_this_tick = false;  // a tick always sends one strip, so that it gets somewhere
};

SamplerState& S() {
  static SamplerState* s = new SamplerState;  // used until the process ends
  return *s;
}

double Since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

Clock::time_point Now() { return S().clock ? S().clock() : Clock::now(); }

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

DatagramOutput* Output() {
  SamplerState& s = S();
  if (s.output) return s.output;
  if (s.sink.sink) return &s.sink;
  return ServerSender();
}

// A datagram with room for the sending stage's trailer.
DatagramBytes MakeDatagram(const uint8_t* data, std::size_t n, std::size_t trailer) {
  DatagramBytes d;
  d.reserve(n + trailer);
  d.assign(data, data + n);
  return d;
}

void Count(std::size_t n) {
  SamplerState& s = S();
  s.handed_wire += WireBytes(n);
  if (!s.timing) return;
  ++s.times.datagrams;
  s.times.bytes += n;
}

// Changed area that cannot go now: it merges with the next changes and goes with them.
void PutBack(const Rect& r) {
  if (r.IsEmpty()) return;
  std::lock_guard<std::mutex> hold(*g_mutex);
  g_dirty_region->Union(r);
}

void SendArea(DatagramOutput* out) {
  uint8_t area[kUpdateHeaderBytes];
  EncodeUpdateHeader(UpdateHeader{UPDATE_AREA, 0, g_clip.left, g_clip.top, g_clip.right,
                                  g_clip.bottom},
                     area);
  out->PushControl(MakeDatagram(area, sizeof area, out->TrailerBytes()));
  Count(sizeof area);
}

Compressor& TheCompressor() {
  SamplerState& s = S();
  const int level = EffectiveCompressionLevel(g_compression_level);
  if (level != g_compression_level && s.bad_level_logged != g_compression_level) {
    s.bad_level_logged = g_compression_level;
    LogLine("Compression level %d is not one of -1..9: level 1 is used", g_compression_level);
  }
  if (!s.compressor || s.compressor->level() != level) s.compressor = std::make_unique<Compressor>(level);
  return *s.compressor;
}

// What a tick may still hand over: false when the sender has no room for a strip or the
// tick has used its time; the caller puts back what it has not sent.
enum class Go { kOn, kNoRoom, kNoTime };
Go MayGoOn(DatagramOutput* out) {
  const SamplerState& s = S();
  if (out->Room() < StripReserveBytes()) return Go::kNoRoom;
  if (s.budget.count() > 0 && s.sent_this_tick && Clock::now() - s.tick_start > s.budget)
    return Go::kNoTime;
  return Go::kOn;
}

// Cuts one strip and hands its pieces over; a piece the queue refuses goes back to the region.
void SendStrip(DatagramOutput* out, const Rect& strip, const uint8_t* pixels, std::size_t scan,
               int bpp) {
  SamplerState& s = S();
  const std::size_t trailer = out->TrailerBytes();
  double handing = 0;
  Clock::time_point t0;
  if (s.timing) t0 = Clock::now();
  const bool ok = s.cutter.Cut(strip, pixels, scan, bpp, TheCompressor(),
                               [&](const Rect& piece, const uint8_t* d, std::size_t n) {
                                 Clock::time_point h0;
                                 if (s.timing) h0 = Clock::now();
                                 if (out->PushBlock(MakeDatagram(d, n, trailer)))
                                   Count(n);
                                 else
                                   PutBack(piece);
                                 if (s.timing) handing += Since(h0);
                               });
  out->Flush();
  if (s.timing) {
    s.times.compress_s += Since(t0) - handing;
    s.times.send_s += handing;
  }
  if (!ok) Failure("it could not be compressed into datagrams", strip);
}

// Sends one rectangle no wider than a block row allows: captured in bands of whole strips,
// each band once, the strips cut from it in memory. Stops when the sender has no room or the
// tick no time: the rest of the rectangle is then back in the region.
Go SendSlab(DatagramOutput* out, ScreenSource* screen, const Rect& r, int bpp) {
  SamplerState& s = S();
  const int64_t w = r.Width();
  const std::size_t scan = static_cast<std::size_t>(ScanLineBytes(w, bpp));
  const int64_t step = StripRows(w, static_cast<int64_t>(scan));
  int64_t band_rows = static_cast<int64_t>(kMaxCaptureBytes / scan) / step * step;
  if (band_rows < step) band_rows = step;
  for (int64_t y = r.top; y < r.bottom; y += band_rows) {
    const int64_t y1 = std::min<int64_t>(y + band_rows, r.bottom);
    const Rect band{r.left, static_cast<int32_t>(y), r.right, static_cast<int32_t>(y1)};
    if (const Go go = MayGoOn(out); go != Go::kOn) {
      PutBack(Rect{r.left, band.top, r.right, r.bottom});
      return go;
    }
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
      if (const Go go = MayGoOn(out); go != Go::kOn) {
        PutBack(Rect{r.left, strip.top, r.right, r.bottom});
        return go;
      }
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
      SendStrip(out, strip, pixels, scan, bpp);
      s.sent_this_tick = true;
      SendPointer();
    }
  }
  return Go::kOn;
}

// Stops when the sender has no room or the tick no time; what was not sent is back in the
// region.
Go SendRectangle(DatagramOutput* out, const Rect& r) {
  if (r.IsEmpty()) return Go::kOn;
  ScreenSource* screen = Screen();
  if (!screen) return Go::kOn;  // no screen: the strip is dropped without a report
  const int bpp = screen->BitsPerPixel();
  if (bpp <= 0) return Go::kOn;
  S().cutter.NewRectangle();
  // One row must fit the viewer's 262144-byte buffer: wider rectangles go as column slabs.
  int64_t slab = static_cast<int64_t>(kDecodeBufferBytes) * 8 / bpp;
  while (slab > 1 && ScanLineBytes(slab, bpp) > static_cast<int64_t>(kDecodeBufferBytes)) --slab;
  for (int64_t x = r.left; x < r.right; x += slab) {
    const int64_t x1 = std::min<int64_t>(x + slab, r.right);
    const Go go = SendSlab(out, screen, Rect{static_cast<int32_t>(x), r.top, static_cast<int32_t>(x1), r.bottom}, bpp);
    if (go != Go::kOn) {
      PutBack(Rect{static_cast<int32_t>(x1), r.top, r.right, r.bottom});
      return go;
    }
  }
  return Go::kOn;
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

// Refresh requests begin at most once a second: the flag stays set until then, so every
// request in between merges into that one refresh.
void ServeRefresh(DatagramOutput* out, Clock::time_point now) {
  SamplerState& s = S();
  if (!g_full_refresh.load() || !s.gate.MayBegin(now) || out->Room() < StripReserveBytes()) return;
  g_full_refresh.store(0);
  s.gate.Began(now);
  SendArea(out);
  s.cycle.AreaSent(now);
  s.cycle.Restart(now);
  std::lock_guard<std::mutex> hold(*g_mutex);
  g_dirty_region->Replace(Rect{g_clip.left, g_clip.top, g_clip.right, g_clip.bottom});
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

// A strip is at most 262144 bytes of pixels; cut at 576 bytes its datagrams and their
// bookkeeping stay below half as much again.
std::size_t StripReserveBytes() { return kDecodeBufferBytes * 3 / 2; }

bool ScreenTick() {
  SamplerState& s = S();
  s.failure_logged = false;
  s.tick_start = Clock::now();
  s.sent_this_tick = false;
  DatagramOutput* out = Output();
  if (!g_dirty_region || !g_mutex || !out) return false;
  const Clock::time_point now = Now();
  s.cutter.SetBudget(static_cast<std::size_t>(g_max_datagram) - std::min<std::size_t>(
                         out->TrailerBytes(), static_cast<std::size_t>(g_max_datagram)));

  ServeRefresh(out, now);
  if (s.cycle.AreaDue(now)) {
    SendArea(out);
    s.cycle.AreaSent(now);
  }
  // While the sender lags, changes keep merging in the region and go out together later.
  if (MayGoOn(out) != Go::kOn) return false;
  std::size_t n = 0;
  if (!TakeDirtyRegion(&n)) {
    // The region keeps its rectangles for the next tick.
    LogLine("No memory to copy the changed area; it is sent at the next tick");
    return false;
  }
  const Rect* rects = reinterpret_cast<const Rect*>(s.rects.data);
  for (std::size_t i = 0; i < n; ++i) {
    const Go go = SendRectangle(out, rects[i]);
    if (go != Go::kOn) {
      for (std::size_t j = i + 1; j < n; ++j) PutBack(rects[j]);
      return go == Go::kNoTime;
    }
  }
  if (MayGoOn(out) != Go::kOn) return false;  // the slice waits for the next tick
  const Rect slice = s.cycle.NextSlice(Rect{g_clip.left, g_clip.top, g_clip.right, g_clip.bottom}, now);
  if (slice.IsEmpty()) return false;
  const std::size_t before = s.handed_wire;
  const Go go = SendRectangle(out, slice);
  s.cycle.SliceSent(s.handed_wire - before);
  return go == Go::kNoTime;
}

void SendBlock(const Rect& strip) {
  if (DatagramOutput* out = Output()) {
    S().tick_start = Clock::now();
    S().sent_this_tick = false;
    SendRectangle(out, strip);
  }
}

void SendPointer() {
  if (!g_cursor_changed.load()) return;
  ScreenSource* screen = Screen();
  DatagramOutput* out = Output();
  int32_t x, y;
  if (!screen || !out || !screen->PointerPosition(&x, &y)) return;
  SamplerState& s = S();
  // Unmoved: the flag stays set, so the next movement goes out without a new notification.
  if (x == s.last_x && y == s.last_y) return;
  s.last_x = x;
  s.last_y = y;
  uint8_t datagram[kUpdateHeaderBytes];
  EncodeUpdateHeader(UpdateHeader{UPDATE_POINTER, 0, x, y, 0, 0}, datagram);
  out->PushControl(MakeDatagram(datagram, sizeof datagram, out->TrailerBytes()));
  Count(sizeof datagram);
  g_cursor_changed.store(0);
}

void ApplySendSettings() {
  S().cycle.Configure(g_refresh_cycle, uint64_t{g_max_rate} * 1000 / 8);
  if (Sender* sender = ServerSender())
    sender->Configure(g_max_rate, static_cast<std::size_t>(g_max_datagram));
}

void SetSamplerScreen(ScreenSource* screen) { S().screen = screen; }
void SetSamplerOutput(DatagramOutput* output) { S().output = output; }
void SetSamplerSink(DatagramSink sink) { S().sink.sink = std::move(sink); }
void SetSamplerRealloc(SamplerRealloc fn) { S().realloc_fn = fn; }
void SetSamplerClock(SamplerClock clock) { S().clock = std::move(clock); }
void SetSamplerTickBudget(std::chrono::nanoseconds budget) { S().budget = budget; }

void ResetSampler() {
  SamplerState& s = S();
  s.last_x = s.last_y = 0;
  Release(s.capture);
  Release(s.rects);
  s.cutter.Reset();
  s.cutter.TakeStats();
  s.gate = RefreshGate{};
  s.cycle = RefreshCycle{};
  s.cycle.Configure(g_refresh_cycle, uint64_t{g_max_rate} * 1000 / 8);
  s.bad_level_logged = 0x7fffffff;
  s.times = SamplerTimes{};
}

void EnableSamplerTimes(bool on) {
  if (on && !S().timing) S().cutter.TakeStats();
  S().timing = on;
}

SamplerTimes TakeSamplerTimes() {
  SamplerState& s = S();
  SamplerTimes t = s.times;
  const CutterStats c = s.cutter.TakeStats();
  t.deflated_in = c.compressed_in;
  t.misses = c.misses;
  s.times = SamplerTimes{};
  return t;
}

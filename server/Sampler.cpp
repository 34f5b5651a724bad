#include "server/Sampler.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "Common/Log.h"
#include "Common/UpdateHeader.h"
#include "platform/Region.h"
#include "platform/Screen.h"
#include "server/CompressPool.h"
#include "server/Cutter.h"
#include "server/RefreshCycle.h"
#include "server/Sender.h"
#include "server/SentPicture.h"
#include "server/ServerState.h"

namespace {

using Clock = std::chrono::steady_clock;

// A capture holds at most this many bytes (and at least one strip); larger rectangles are
// captured in row bands, so that a tick that runs out of time or room has not read the
// screen far beyond where it stops, and the workers start on the first band while the next
// is read.
constexpr std::size_t kMaxCaptureBytes = 2u << 20;
// The captures of the jobs in the pool take at most the broadcast area's pixels or this
// much, whichever is more: a full refresh fits in one go.
constexpr std::size_t kMinArenaBytes = 8u << 20;
// Jobs of the healing cycle carry this tag: the pool counts what they cost on the wire.
constexpr uint32_t kHealingTag = 1;

struct Buffer {
  uint8_t* data = nullptr;
  std::size_t size = 0;
};

// The output behind SetSamplerSink: the sampler itself takes the pool's results.
class SinkOutput : public DatagramOutput {
 public:
  DatagramSink sink;
  void PushControl(DatagramBytes d) override;
  std::size_t TrailerBytes() override { return 0; }
};

// What a part of the screen is sent as: only what differs from the picture sent, or all of
// it (a full refresh, a healing slice), which the picture sent then takes.
enum class Mode { kChanges, kWhole };

struct SamplerState {
  ScreenSource* screen = nullptr;  // injected; nullptr: ServerScreen()
  DatagramOutput* output = nullptr;
  SinkOutput sink;
  SamplerRealloc realloc_fn = nullptr;
  SamplerClock clock;
  int32_t last_x = 0, last_y = 0;
  std::unique_ptr<CompressPool> own_pool;
  std::vector<Cutter*> cutters;  // own_pool's workers', for their statistics
  CompressPool* pool = nullptr;  // injected; nullptr: own_pool
  // The pixels the pool's jobs read: captures are laid one after the other and the arena
  // starts again once no job is pending.
  Buffer arena;
  std::size_t arena_used = 0;
  Buffer rects;  // the tick's copy of the dirty region (Rect array)
  std::vector<Rect> whole_rects, changes, dropped, failed;
  std::vector<CompressJob> jobs;  // strips made but not yet handed to the pool
  Region whole;  // what must still go whole: the rest of a refresh or of a healing slice
  SentPicture sent;
  RefreshGate gate;
  RefreshCycle cycle;
  uint64_t healing_wire_seen = 0;  // the healing jobs' wire bytes already charged to the cycle
  bool going_on = false;  // the last tick stopped for its time: the next may add jobs
  // Jobs up to this one (the pool's count) read the picture sent itself: until they are
  // released it must not change under them.
  uint64_t copy_jobs_end = 0;
  bool failure_logged = false;  // at most one failure line per tick
  int bad_level_logged = 0x7fffffff;
  bool timing = false;
  SamplerTimes times;
  double work_at_enable = 0;
  CompressPool::Released released_at_enable;
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

CompressPool& Pool() {
  SamplerState& s = S();
  if (s.pool) return *s.pool;
  if (!s.own_pool) {
    s.own_pool = std::make_unique<CompressPool>([&s] {
      auto cutter = std::make_unique<Cutter>();
      s.cutters.push_back(cutter.get());
      return cutter;
    });
  }
  return *s.own_pool;
}

DatagramOutput* Output() {
  SamplerState& s = S();
  Sender* server = ServerSender();
  DatagramOutput* out = server;
  if (s.sink.sink) out = &s.sink;
  if (s.output) out = s.output;
  // The server's sender takes the pool's results while it is the output, and only then: two
  // consumers would split them.
  if (server) server->SetSource(out == server ? &Pool() : nullptr);
  return out;
}

// What the pool's consumer released so far, all tags together.
CompressPool::Released SumReleased() {
  CompressPool::Released sum;
  for (uint32_t tag = 0; tag < CompressPool::kTags; ++tag) {
    const CompressPool::Released r = Pool().ReleasedOf(tag);
    sum.datagrams += r.datagrams;
    sum.bytes += r.bytes;
    sum.wire += r.wire;
  }
  return sum;
}

// In sink mode: every result the pool holds, in order, to the sink.
void DrainToSink() {
  SamplerState& s = S();
  if (!s.sink.sink || s.output) return;
  CompressPool& pool = Pool();
  while (pool.Pending() > 0) {
    const CompressPool::Result* r = pool.Next(std::chrono::seconds(10));
    if (!r) return;  // a worker that never finishes: give up rather than hang the tests
    for (std::size_t i = 0; i < r->datagrams->Count(); ++i)
      s.sink.sink(r->datagrams->Data(i), r->datagrams->Length(i));
    pool.Release();
  }
}

void SinkOutput::PushControl(DatagramBytes d) {
  DrainToSink();  // what was made before it goes before it
  sink(d.data(), d.size());
}

// A datagram with room for the sending stage's trailer.
DatagramBytes MakeDatagram(const uint8_t* data, std::size_t n, std::size_t trailer) {
  DatagramBytes d;
  d.reserve(n + trailer);
  d.assign(data, data + n);
  return d;
}

void EncodeArea(uint8_t* out) {
  EncodeUpdateHeader(UpdateHeader{UPDATE_AREA, 0, g_clip.left, g_clip.top, g_clip.right,
                                  g_clip.bottom},
                     out);
}

int Level() {
  SamplerState& s = S();
  const int level = EffectiveCompressionLevel(g_compression_level);
  if (level != g_compression_level && s.bad_level_logged != g_compression_level) {
    s.bad_level_logged = g_compression_level;
    LogLine("Compression level %d is not one of -1..9: level 1 is used", g_compression_level);
  }
  return level;
}

// Changed area that cannot go now: it merges with the next changes and goes with them; what
// had to go whole still goes whole.
void PutBack(const Rect& r, Mode mode) {
  if (r.IsEmpty()) return;
  if (mode == Mode::kWhole) {
    S().whole.Union(r);
    return;
  }
  std::lock_guard<std::mutex> hold(*g_mutex);
  g_dirty_region->Union(r);
}

// What came back from the pool since the last tick: rectangles its workers could not make
// into datagrams are sent again (the picture sent does not have them), and the healing
// slices' cost on the wire is charged to the cycle.
void TakeBack(CompressPool& pool) {
  SamplerState& s = S();
  s.dropped.clear();
  pool.TakeDropped(s.dropped);
  for (const Rect& r : s.dropped) {
    s.sent.Forget(r);
    PutBack(r, Mode::kChanges);
  }
  if (!s.dropped.empty())
    Failure("it could not be compressed into datagrams; it is sent again", s.dropped[0]);
  const uint64_t healing = pool.ReleasedOf(kHealingTag).wire;
  s.cycle.SliceSent(static_cast<std::size_t>(healing - s.healing_wire_seen));
  s.healing_wire_seen = healing;
}

// What a tick may still hand over: false when the tick has used its time or the arena has no
// room for bytes more; the caller puts back what it has not sent.
enum class Go { kOn, kNoRoom, kNoTime };
Go MayGoOn(std::size_t bytes) {
  const SamplerState& s = S();
  if (s.budget.count() > 0 && s.sent_this_tick && Clock::now() - s.tick_start > s.budget)
    return Go::kNoTime;
  if (s.arena_used + bytes > s.arena.size) return Go::kNoRoom;
  return Go::kOn;
}

// The strips made so far go to the pool, all at once.
void SubmitJobs() {
  SamplerState& s = S();
  if (s.jobs.empty()) return;
  Clock::time_point t0;
  if (s.timing) t0 = Clock::now();
  Pool().Submit(s.jobs.data(), s.jobs.size());
  if (s.timing) s.times.send_s += Since(t0);
  s.jobs.clear();
}

// Cuts r into strips for the pool; pixels hold r's rows, stride bytes apart. The pointer is
// looked at after every strip.
void MakeStrips(const Rect& r, const uint8_t* pixels, std::size_t stride, int bpp, uint32_t tag) {
  SamplerState& s = S();
  DatagramOutput* out = Output();
  const std::size_t trailer = out ? out->TrailerBytes() : 0;
  const std::size_t max = static_cast<std::size_t>(g_max_datagram);
  const int64_t step = StripRows(r.Width(), ScanLineBytes(r.Width(), bpp));
  CompressJob job;
  job.bpp = bpp;
  job.level = Level();
  job.max_datagram = max - std::min(trailer, max);
  job.spare = trailer;
  job.tag = tag;
  job.stride = stride;
  for (int64_t y = r.top; y < r.bottom; y += step) {
    job.rect = Rect{r.left, static_cast<int32_t>(y), r.right,
                    static_cast<int32_t>(std::min<int64_t>(y + step, r.bottom))};
    job.pixels = pixels + static_cast<std::size_t>(y - r.top) * stride;
    job.new_content = y == r.top;
    s.jobs.push_back(job);
    s.sent_this_tick = true;
    SendPointer();
  }
}

// One captured part of the screen (rows of stride bytes): compared against the picture sent,
// or sent whole, which the picture sent then takes.
void HandOver(const Rect& part, const uint8_t* pixels, std::size_t stride, int bpp, Mode mode,
              uint32_t tag, bool in_copy) {
  SamplerState& s = S();
  Clock::time_point t0;
  if (mode == Mode::kWhole) {
    MakeStrips(part, pixels, stride, bpp, tag);
    SubmitJobs();
    if (in_copy) s.copy_jobs_end = Pool().Submitted();
    // The picture sent takes the pixels: where they were captured, or from there.
    if (s.timing) t0 = Clock::now();
    if (in_copy) s.sent.Took(part);
    else s.sent.Sent(part, pixels, stride);
    if (s.timing) s.times.compare_s += Since(t0);
    return;
  }
  if (s.timing) t0 = Clock::now();
  s.sent.Changes(part, pixels, stride, s.changes);
  if (s.timing) s.times.compare_s += Since(t0);
  const std::size_t pb = static_cast<std::size_t>(bpp / 8);
  for (const Rect& c : s.changes)
    MakeStrips(c, pixels + static_cast<std::size_t>(c.top - part.top) * stride +
                      static_cast<std::size_t>(c.left - part.left) * pb,
               stride, bpp, tag);
  SubmitJobs();
}

bool Capture(ScreenSource* screen, const Rect& r, uint8_t* out, std::size_t stride) {
  SamplerState& s = S();
  Clock::time_point t0;
  if (s.timing) t0 = Clock::now();
  const bool ok = screen->Capture(r, out, stride);
  if (s.timing) s.times.capture_s += Since(t0);
  return ok;
}

// Sends one rectangle no wider than a block row allows: captured in bands of whole strips,
// each band once, into the arena, or, what goes whole inside the broadcast area, straight into
// the picture sent (no copy). Stops when the arena has no room or the tick no time: the rest
// of the rectangle is then put back.
Go SendSlab(ScreenSource* screen, const Rect& r, int bpp, Mode mode, uint32_t tag) {
  SamplerState& s = S();
  const int64_t w = r.Width();
  const std::size_t scan = static_cast<std::size_t>(ScanLineBytes(w, bpp));
  const int64_t step = StripRows(w, static_cast<int64_t>(scan));
  const int64_t band_rows = CaptureRows(w, static_cast<int64_t>(scan));
  s.failed.clear();
  Go go = Go::kOn;
  int64_t y = r.top;
  for (; y < r.bottom; y += band_rows) {
    const int64_t y1 = std::min<int64_t>(y + band_rows, r.bottom);
    const Rect band{r.left, static_cast<int32_t>(y), r.right, static_cast<int32_t>(y1)};
    uint8_t* pixels = mode == Mode::kWhole ? s.sent.PixelsOf(band) : nullptr;
    const bool in_copy = pixels != nullptr;
    const std::size_t stride = in_copy ? s.sent.stride() : scan;
    const std::size_t bytes = in_copy ? 0 : static_cast<std::size_t>(y1 - y) * scan;
    if ((go = MayGoOn(bytes)) != Go::kOn) {
      PutBack(Rect{r.left, band.top, r.right, r.bottom}, mode);
      break;
    }
    if (!in_copy) {
      pixels = s.arena.data + s.arena_used;
      s.arena_used += bytes;
    }
    if (Capture(screen, band, pixels, stride)) {
      HandOver(band, pixels, stride, bpp, mode, tag, in_copy);
      continue;
    }
    // The band failed as a whole: try its strips alone, so that only bad ones drop.
    for (int64_t sy = y; sy < y1; sy += step) {
      const Rect strip{r.left, static_cast<int32_t>(sy), r.right,
                       static_cast<int32_t>(std::min<int64_t>(sy + step, y1))};
      uint8_t* at = pixels + static_cast<std::size_t>(sy - y) * stride;
      if (Capture(screen, strip, at, stride)) {
        HandOver(strip, at, stride, bpp, mode, tag, in_copy);
        continue;
      }
      s.failed.push_back(strip);
      Failure("the screen could not be read", strip);
    }
  }
  if (mode == Mode::kWhole) {
    // The picture sent holds what went out of every row done, but for the strips that failed:
    // tiles that bands (or strips) held only in part are known too.
    s.sent.Took(Rect{r.left, r.top, r.right, static_cast<int32_t>(std::min<int64_t>(y, r.bottom))});
    for (const Rect& f : s.failed) s.sent.Forget(f);
  }
  return go;
}

// Stops when the arena has no room or the tick no time; what was not sent is put back.
Go SendRectangle(const Rect& r, Mode mode, uint32_t tag = 0) {
  if (r.IsEmpty()) return Go::kOn;
  ScreenSource* screen = Screen();
  if (!screen) return Go::kOn;  // no screen: the strip is dropped without a report
  const int bpp = screen->BitsPerPixel();
  if (bpp <= 0) return Go::kOn;
  // One row must fit the viewer's 262144-byte buffer: wider rectangles go as column slabs.
  int64_t slab = static_cast<int64_t>(kDecodeBufferBytes) * 8 / bpp;
  while (slab > 1 && ScanLineBytes(slab, bpp) > static_cast<int64_t>(kDecodeBufferBytes)) --slab;
  for (int64_t x = r.left; x < r.right; x += slab) {
    const int64_t x1 = std::min<int64_t>(x + slab, r.right);
    const Go go = SendSlab(screen, Rect{static_cast<int32_t>(x), r.top, static_cast<int32_t>(x1), r.bottom}, bpp, mode, tag);
    if (go != Go::kOn) {
      PutBack(Rect{static_cast<int32_t>(x1), r.top, r.right, r.bottom}, mode);
      return go;
    }
  }
  return Go::kOn;
}

// Sends every rectangle of rects; when one stops, the rest are put back.
Go SendRectangles(const Rect* rects, std::size_t n, Mode mode) {
  for (std::size_t i = 0; i < n; ++i) {
    const Go go = SendRectangle(rects[i], mode);
    if (go != Go::kOn) {
      for (std::size_t j = i + 1; j < n; ++j) PutBack(rects[j], mode);
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
// request in between merges into that one refresh. Its UPDATE_AREA goes into the pool ahead
// of its blocks; the area goes whole, and changes pending anywhere are covered or dropped.
void ServeRefresh(Clock::time_point now, std::size_t trailer) {
  SamplerState& s = S();
  if (!g_full_refresh.load() || !s.gate.MayBegin(now)) return;
  g_full_refresh.store(0);
  s.gate.Began(now);
  g_refresh_began_ms.store(std::chrono::duration_cast<std::chrono::milliseconds>(
                               Clock::now().time_since_epoch())
                               .count());
  CompressJob area;
  area.kind = CompressJob::kVerbatim;
  area.spare = trailer;
  EncodeArea(area.verbatim);
  Pool().Submit(area);
  s.cycle.AreaSent(now);
  s.cycle.Restart(now);
  s.whole.Replace(Rect{g_clip.left, g_clip.top, g_clip.right, g_clip.bottom});
  std::lock_guard<std::mutex> hold(*g_mutex);
  g_dirty_region->Clear();
}

// The arena, when no job reads it: started again, and grown (only then) to hold a full
// refresh of the broadcast area.
void PrepareArena(int bpp) {
  SamplerState& s = S();
  s.arena_used = 0;
  const int64_t area = int64_t{g_clip.right - g_clip.left} * (g_clip.bottom - g_clip.top);
  const std::size_t area_bytes = static_cast<std::size_t>(std::max<int64_t>(area, 0)) *
                                 static_cast<std::size_t>(std::max(bpp, 8) / 8);
  const std::size_t want = std::max(kMinArenaBytes, area_bytes);
  if (!Grow(s.arena, want) && s.arena.size < kMaxCaptureBytes)
    LogLine("No memory for the screen's pixels; changes wait in the region");
}

}  // namespace

int64_t StripRows(int64_t width, int64_t scan_line_bytes) {
  if (width <= 0 || scan_line_bytes <= 0) return 1;
  int64_t rows = STRIP_PIXELS / width + 8;
  const int64_t fit = static_cast<int64_t>(kDecodeBufferBytes) / scan_line_bytes;
  if (fit < rows) rows = fit;
  return rows < 1 ? 1 : rows;
}

int64_t CaptureRows(int64_t width, int64_t scan_line_bytes) {
  const int64_t step = StripRows(width, scan_line_bytes);
  if (scan_line_bytes <= 0) return step;
  const int64_t rows = static_cast<int64_t>(kMaxCaptureBytes) / scan_line_bytes / step * step;
  return rows < step ? step : rows;
}

int EffectiveCompressionLevel(int stored_level) {
  return stored_level >= -1 && stored_level <= 9 ? stored_level : 1;
}

CompressPool* SamplerPool() { return &Pool(); }

bool ScreenTick() {
  SamplerState& s = S();
  s.failure_logged = false;
  s.tick_start = Clock::now();
  s.sent_this_tick = false;
  DatagramOutput* out = Output();
  if (!g_dirty_region || !g_mutex || !out) return false;
  CompressPool& pool = Pool();
  const Clock::time_point now = Now();
  TakeBack(pool);
  // While the sender lags, changes keep merging in the region and go out together later. A
  // tick that stopped for its time goes on meanwhile, with what goes whole at once; changes,
  // a new refresh and the healing slice, which may touch the picture sent, only once no job
  // reads that picture any more.
  const bool pending = pool.Pending() > 0;
  const bool copy_free = pool.ReleasedUpTo(s.copy_jobs_end);
  const bool may_take = !pending || s.going_on;
  s.going_on = false;
  ScreenSource* screen = Screen();
  if (may_take && copy_free) {
    if (screen) {
      const Rect clip{g_clip.left, g_clip.top, g_clip.right, g_clip.bottom};
      s.sent.SetArea(Intersection(clip, screen->ClipBox()), screen->BitsPerPixel());
    }
    ServeRefresh(now, out->TrailerBytes());
  }
  if (!pending) PrepareArena(screen ? screen->BitsPerPixel() : 0);
  if (s.cycle.AreaDue(now)) {
    uint8_t area[kUpdateHeaderBytes];
    EncodeArea(area);
    out->PushControl(MakeDatagram(area, sizeof area, out->TrailerBytes()));
    s.cycle.AreaSent(now);
  }
  if (!may_take) return false;

  Go go = Go::kOn;
  if (!s.whole.Empty() && s.whole.TakeRectangles(s.whole_rects))
    go = SendRectangles(s.whole_rects.data(), s.whole_rects.size(), Mode::kWhole);
  if (go == Go::kOn && copy_free && MayGoOn(0) == Go::kOn) {
    std::size_t n = 0;
    if (TakeDirtyRegion(&n)) {
      go = SendRectangles(reinterpret_cast<const Rect*>(s.rects.data), n, Mode::kChanges);
    } else {
      // The region keeps its rectangles for the next tick.
      LogLine("No memory to copy the changed area; it is sent at the next tick");
    }
  }
  if (go == Go::kOn && copy_free && MayGoOn(0) == Go::kOn) {
    const Rect slice = s.cycle.NextSlice(Rect{g_clip.left, g_clip.top, g_clip.right, g_clip.bottom}, now);
    go = SendRectangle(slice, Mode::kWhole, kHealingTag);
  }
  DrainToSink();
  s.going_on = go == Go::kNoTime;
  return s.going_on;
}

int RefreshWaitMs() {
  SamplerState& s = S();
  const Clock::time_point now = Now();
  if (!g_full_refresh.load() || s.gate.MayBegin(now)) return -1;
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(s.gate.OpensAt() - now);
  return static_cast<int>(std::max<int64_t>(wait.count(), 1));
}

void SendBlock(const Rect& strip) {
  SamplerState& s = S();
  if (!Output()) return;
  s.tick_start = Clock::now();
  s.sent_this_tick = false;
  ScreenSource* screen = Screen();
  if (Pool().Pending() == 0) PrepareArena(screen ? screen->BitsPerPixel() : 0);
  SendRectangle(strip, Mode::kWhole);
  DrainToSink();
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
  SubmitJobs();  // the strips before it are on their way before it
  out->PushControl(MakeDatagram(datagram, sizeof datagram, out->TrailerBytes()));
  g_cursor_changed.store(0);
}

void ApplySendSettings() {
  S().cycle.Configure(g_refresh_cycle, uint64_t{g_max_rate} * 1000 / 8);
  if (Sender* sender = ServerSender())
    sender->Configure(g_max_rate, static_cast<std::size_t>(g_max_datagram));
}

void SetSamplerScreen(ScreenSource* screen) {
  S().screen = screen;
  // Jobs may still read the picture sent: forget it rather than free it.
  S().sent.Forget(Rect{INT32_MIN / 2, INT32_MIN / 2, INT32_MAX / 2, INT32_MAX / 2});
}
void SetSamplerOutput(DatagramOutput* output) { S().output = output; }
void SetSamplerPool(CompressPool* pool) {
  S().pool = pool;
  S().healing_wire_seen = Pool().ReleasedOf(kHealingTag).wire;
  S().copy_jobs_end = 0;
}
void SetSamplerSink(DatagramSink sink) { S().sink.sink = std::move(sink); }
void SetSamplerRealloc(SamplerRealloc fn) { S().realloc_fn = fn; }
void SetSamplerClock(SamplerClock clock) { S().clock = std::move(clock); }
void SetSamplerTickBudget(std::chrono::nanoseconds budget) { S().budget = budget; }

void ResetSampler() {
  SamplerState& s = S();
  CompressPool& pool = Pool();
  // A sender takes what is pending; what nobody takes is taken and dropped here, so that no
  // job is left to read the buffers freed below.
  for (int i = 0; i < 1000 && pool.Pending() > 0 && !(s.sink.sink && !s.output); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  while (pool.Pending() > 0 && pool.Next(std::chrono::seconds(10))) pool.Release();
  std::vector<Rect> dropped;
  pool.TakeDropped(dropped);
  s.healing_wire_seen = pool.ReleasedOf(kHealingTag).wire;
  s.copy_jobs_end = 0;
  for (Cutter* c : s.cutters) {
    c->Reset();
    c->TakeStats();
  }
  s.last_x = s.last_y = 0;
  Release(s.arena);
  s.arena_used = 0;
  Release(s.rects);
  s.whole.Clear();
  s.sent.SetArea(Rect{}, 0);
  s.going_on = false;
  s.gate = RefreshGate{};
  s.cycle = RefreshCycle{};
  s.cycle.Configure(g_refresh_cycle, uint64_t{g_max_rate} * 1000 / 8);
  s.bad_level_logged = 0x7fffffff;
  s.times = SamplerTimes{};
}

void EnableSamplerTimes(bool on) {
  SamplerState& s = S();
  if (on && !s.timing) {
    for (Cutter* c : s.cutters) c->TakeStats();
    s.times = SamplerTimes{};
    s.work_at_enable = Pool().WorkSeconds();
    s.released_at_enable = SumReleased();
  }
  s.timing = on;
}

SamplerTimes TakeSamplerTimes() {
  SamplerState& s = S();
  SamplerTimes t = s.times;
  for (Cutter* c : s.cutters) {
    const CutterStats cs = c->TakeStats();
    t.deflated_in += cs.compressed_in;
    t.misses += cs.misses;
  }
  CompressPool& pool = Pool();
  t.compress_s = pool.WorkSeconds() - s.work_at_enable;
  const CompressPool::Released r = SumReleased();
  t.datagrams = static_cast<std::size_t>(r.datagrams - s.released_at_enable.datagrams);
  t.bytes = static_cast<std::size_t>(r.bytes - s.released_at_enable.bytes);
  s.times = SamplerTimes{};
  s.work_at_enable = pool.WorkSeconds();
  s.released_at_enable = r;
  return t;
}

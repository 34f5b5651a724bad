#pragma once
// The server's sampling side. Each screen tick serves a due full refresh (at most one a
// second), announces the broadcast area at least once a second, takes the dirty region,
// captures each changed rectangle once, compares it against the picture last sent
// (SentPicture) and hands only what changed, in strips, to the compression pool, with the
// pointer after every strip; a slice of the healing cycle follows. A full refresh and the
// healing slices go whole and refresh the picture sent. While the pool still holds jobs of an
// earlier tick (the sender lags), a tick takes nothing: changes keep merging in the region
// and go out together later. A tick stops after its time budget (20 ms) with the rest back in
// the region, so that the tray, the dialog and the timers are served between the parts of a
// large refresh; the ticks that go on at once may add to the jobs still pending. Main thread
// only (the thread of the timers).
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "platform/Rect.h"

class CompressPool;
class DatagramOutput;
class ScreenSource;

constexpr int STRIP_PIXELS = 50000;

// Screen timer: see above. True when the tick stopped for its time budget with work left
// that may go now: the caller ticks again once pending events are handled.
bool ScreenTick();
// A full refresh is asked for but may not begin before this many ms (at least 1) have
// passed, since refreshes begin at most once a second; -1 when none waits for that. The
// screen timer's owner ticks again then, so that the refresh does not also wait for the
// timer's period.
int RefreshWaitMs();
// Captures one rectangle and hands it over whole, cut to fit the datagram budget.
void SendBlock(const Rect& strip);
// Pointer timer and after every strip: an UPDATE_POINTER when the pointer moved.
void SendPointer();

// Puts MaxDatagram, MaxRate and RefreshCycle (g_max_datagram, g_max_rate, g_refresh_cycle)
// in force for the sampler and the server's sender. At start and after the dialog's OK.
void ApplySendSettings();

// --- Injection points (tests and benchmark). nullptr / empty restores the default. ---
// Default: ServerScreen() (the X screen). Forgets the picture sent: another screen has other
// pixels.
void SetSamplerScreen(ScreenSource* screen);
// The compression pool the sampler hands its blocks to: one worker a core, made at the first
// call on the calling thread, whose priority the workers inherit. Whoever consumes its
// results sends the blocks: the server's sender while it is the output (the default), the
// sink below, or a test.
CompressPool* SamplerPool();
// A pool of the caller's (fake cutters, say) instead of the sampler's own; nullptr: its own.
void SetSamplerPool(CompressPool* pool);
// Where pointer and area datagrams go (blocks: the pool's consumer); default: ServerSender()
// (nothing is sent before it runs), which then sends the pool's results too.
void SetSamplerOutput(DatagramOutput* output);
// A synchronous output: the sampler itself takes the pool's results at the end of every tick
// and before every pointer datagram, so that every datagram reaches sink in the order the
// sampler made it. Tests and benchmarks.
using DatagramSink = std::function<void(const uint8_t* data, std::size_t length)>;
void SetSamplerSink(DatagramSink sink);
// Allocation of the sampler's working buffers, realloc semantics. A fake returns nullptr to
// test allocation failure.
using SamplerRealloc = void* (*)(void* old, std::size_t bytes);
void SetSamplerRealloc(SamplerRealloc fn);
// The time the refresh gate and the healing cycle go by; default steady_clock.
using SamplerClock = std::function<std::chrono::steady_clock::time_point()>;
void SetSamplerClock(SamplerClock clock);
// How long a tick may work before it leaves the rest for the next one; 0: no limit.
void SetSamplerTickBudget(std::chrono::nanoseconds budget);
// Forgets the last pointer position, the refresh times, the cutters' estimates, the picture
// sent and the working buffers. Jobs still pending are discarded in sink mode and waited for
// (at most a second) otherwise: a test that takes the pool's results takes them first.
void ResetSampler();

// Time spent in each stage since EnableSamplerTimes(true), for the benchmark. The pool's
// figures count what it finished and what its consumer released by the time they are taken.
struct SamplerTimes {
  double capture_s = 0, compare_s = 0, send_s = 0;  // main thread; send_s: handing over
  double compress_s = 0;        // the workers' time, added up
  std::size_t datagrams = 0, bytes = 0;  // the pool's, released (blocks and refresh areas)
  std::size_t deflated_in = 0;  // bytes handed to the compressor, pieces that missed included
  std::size_t misses = 0;       // pieces whose stream did not fit and were cut again
};
void EnableSamplerTimes(bool on);
SamplerTimes TakeSamplerTimes();

// Rows per strip for a rectangle W pixels wide at S bytes per row:
// max(1, min(STRIP_PIXELS / W + 8, 262144 / S)). The pointer goes after every strip.
int64_t StripRows(int64_t width, int64_t scan_line_bytes);
// Rows the sampler captures at once of a rectangle W pixels wide at S bytes per row: whole
// strips within 2 MB, at least one strip.
int64_t CaptureRows(int64_t width, int64_t scan_line_bytes);
// The compression level handed to the compressor: g_compression_level if in -1..9, else 1.
int EffectiveCompressionLevel(int stored_level);

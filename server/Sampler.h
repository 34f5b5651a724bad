#pragma once
// The server's sampling side. Each screen tick serves a due full refresh (at most one a
// second), announces the broadcast area at least once a second, takes the dirty region when
// the sending stage has room for it, captures each changed rectangle once, has it cut into
// pieces that each fit one datagram, and hands them over with the pointer after every strip;
// a slice of the healing cycle follows. A tick stops after its time budget (20 ms) with the
// rest back in the region, so that the tray, the dialog and the timers are served between
// the parts of a large refresh. Main thread only (the thread of the timers).
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "platform/Rect.h"

class ScreenSource;
class DatagramOutput;

constexpr int STRIP_PIXELS = 50000;

// Screen timer: see above. True when the tick stopped for its time budget with work left
// that may go now: the caller ticks again once pending events are handled.
bool ScreenTick();
// Captures one rectangle and hands it over, cut to fit the datagram budget.
void SendBlock(const Rect& strip);
// Pointer timer and after every strip: an UPDATE_POINTER when the pointer moved.
void SendPointer();

// Puts MaxDatagram, MaxRate and RefreshCycle (g_max_datagram, g_max_rate, g_refresh_cycle)
// in force for the sampler and the server's sender. At start and after the dialog's OK.
void ApplySendSettings();

// --- Injection points (tests and benchmark). nullptr / empty restores the default. ---
// Default: ServerScreen() (the X screen).
void SetSamplerScreen(ScreenSource* screen);
// Where datagrams go; default: ServerSender() (nothing is sent before it runs).
void SetSamplerOutput(DatagramOutput* output);
// A synchronous output with unbounded room: every datagram reaches sink at once, in order.
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
// Forgets the last pointer position, the refresh times, the cutter's estimates and the
// working buffers.
void ResetSampler();

// Time spent in each stage since the last reset, for the benchmark.
struct SamplerTimes {
  double capture_s = 0, compress_s = 0, send_s = 0;  // send_s: handing over
  std::size_t datagrams = 0, bytes = 0;
  std::size_t deflated_in = 0;  // bytes handed to the compressor, pieces that missed included
  std::size_t misses = 0;       // pieces whose stream did not fit and were cut again
};
void EnableSamplerTimes(bool on);
SamplerTimes TakeSamplerTimes();

// Rows per strip for a rectangle W pixels wide at S bytes per row:
// max(1, min(STRIP_PIXELS / W + 8, 262144 / S)). The pointer goes after every strip.
int64_t StripRows(int64_t width, int64_t scan_line_bytes);
// The compression level handed to the compressor: g_compression_level if in -1..9, else 1.
int EffectiveCompressionLevel(int stored_level);
// What the queue must have room for before a strip is cut: one strip's datagrams.
std::size_t StripReserveBytes();

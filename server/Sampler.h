#pragma once
// The server's sending side: takes the dirty region each screen tick, captures each changed
// rectangle once, cuts it into strips that each fit one UPDATE_BLOCK datagram and multicasts
// them, with the pointer after every strip. Main thread only (the thread of the timers).
#include <cstddef>
#include <cstdint>
#include <functional>

#include "platform/Rect.h"

class ScreenSource;

constexpr int STRIP_PIXELS = 50000;
constexpr int REGION_BUFFER_BYTES = 16384;  // kept for reference: the region copy has no limit

// Screen timer: a full refresh when due, then every rectangle of g_dirty_region.
void ScreenTick();
// Captures one strip and sends it, cut further when its compressed form would not fit one
// datagram or its pixels exceed the viewer's 262144-byte buffer.
void SendBlock(const Rect& strip);
// Pointer timer and after every strip: an UPDATE_POINTER when the pointer moved.
void SendPointer();

// --- Injection points (tests and benchmark). nullptr / empty restores the default. ---
// Default: ServerScreen() (the X screen).
void SetSamplerScreen(ScreenSource* screen);
// Receives every datagram; default: SendDatagram(g_multicast_sock, g_group, g_port, ...).
using DatagramSink = std::function<void(const uint8_t* data, std::size_t length)>;
void SetSamplerSink(DatagramSink sink);
// Allocation of the sampler's working buffers; default malloc/realloc semantics through
// realloc. A fake returns nullptr to test allocation failure.
using SamplerRealloc = void* (*)(void* old, std::size_t bytes);
void SetSamplerRealloc(SamplerRealloc fn);
// Forgets the last pointer position sent and releases the working buffers.
void ResetSampler();

// Time spent in each stage since the last reset, for the benchmark.
struct SamplerTimes {
  double capture_s = 0, compress_s = 0, send_s = 0;
  std::size_t datagrams = 0, bytes = 0;
  std::size_t deflated_in = 0;  // input bytes deflate read, counting attempts that did not fit
};
void EnableSamplerTimes(bool on);
SamplerTimes TakeSamplerTimes();

// Rows per strip for a rectangle W pixels wide at S bytes per row:
// max(1, min(STRIP_PIXELS / W + 8, 262144 / S)).
int64_t StripRows(int64_t width, int64_t scan_line_bytes);
// The compression level handed to zlib: g_compression_level if in -1..9, else 1.
int EffectiveCompressionLevel(int stored_level);

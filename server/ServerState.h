#pragma once
// Process-wide state of the server. Created by start-up before any thread that uses it
// starts; heap objects are never destroyed, because the worker threads run until the
// process ends.
#include <atomic>
#include <cstdint>
#include <mutex>

#include "Common/Target.h"

class Region;  // platform/Region.h

struct ClipRect {
  int32_t left = 0, top = 0, right = 0, bottom = 0;
};

extern Region* g_dirty_region;          // changed area since the last screen tick
extern std::mutex* g_mutex;             // guards g_dirty_region, held for single region calls
extern std::atomic<int> g_full_refresh;    // set: full refresh at the next screen tick
// When the last full refresh began: milliseconds of the steady clock, INT64_MIN before the
// first. A refresh request judged before then is served by that refresh.
extern std::atomic<int64_t> g_refresh_began_ms;
extern std::atomic<int> g_cursor_changed;  // set: pointer changed since the last datagram
extern ClipRect g_clip;                 // broadcast area
extern int g_multicast_sock;            // sending socket, INVALID_SOCKET when none
// Guards g_multicast_sock against the sender thread: it sends holding this, and the settings
// dialog holds it while it closes and re-opens the socket.
extern std::mutex g_socket_mutex;
extern char g_group[kTextBytes];        // target group, cut at its colon
extern int g_port;                      // target port
// Guards every write of the g_group/g_port pair and the rendezvous thread's copy of it, so
// that a reply never mixes an old group with a new port.
extern std::mutex g_target_mutex;
extern int g_rate_screen;               // ms
extern int g_rate_pointer;              // ms
extern int g_compression_level;         // 0..9, -1: zlib's default
extern int g_max_datagram;              // bytes of a whole UDP payload, 576..65507
extern uint32_t g_max_rate;             // kbit/s on the wire, 0: unpaced
extern uint32_t g_refresh_cycle;        // seconds to send the whole area again, 0: off

constexpr int TIMER_SCREEN = 1;
constexpr int TIMER_POINTER = 2;

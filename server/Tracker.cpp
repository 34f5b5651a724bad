#include "server/Tracker.h"

#include <algorithm>
#include <atomic>
#include <chrono>

#include "hooks/hooks.h"
#include "platform/Region.h"
#include "platform/Screen.h"
#include "platform/Thread.h"
#include "platform/ThreadQueue.h"
#include "platform/WindowQuery.h"
#include "server/ServerState.h"

namespace {
using Clock = std::chrono::steady_clock;

WindowQuery* g_query_override = nullptr;
std::atomic<bool> g_screen_tracking{false};

WindowQuery* Windows() { return g_query_override ? g_query_override : X11WindowQuery(); }

constexpr int32_t kLowest = -1000;
constexpr int32_t kHighest = 3000;
// How far an edge may lie beyond a root larger than kHighest - kMargin.
constexpr int32_t kMargin = 1000;
// A root size read longer ago than this is read again (the root may have been resized).
constexpr auto kRootSizeAge = std::chrono::seconds(1);

// Upper bounds of the range: 3000, or on a larger root its width (left, right) or height
// (top, bottom) plus 1000. Read on the hook thread only when an edge lies beyond 3000, so
// screens up to 2000 px never ask.
struct UpperBounds {
  int32_t x = kHighest, y = kHighest;
  bool read = false;
  Clock::time_point when{};
};
UpperBounds g_bounds;

const UpperBounds& CurrentBounds() {
  const Clock::time_point now = Clock::now();
  if (g_bounds.read && now - g_bounds.when < kRootSizeAge) return g_bounds;
  g_bounds = UpperBounds{};
  g_bounds.read = true;
  g_bounds.when = now;
  int32_t width = 0, height = 0;
  WindowQuery* q = Windows();
  if (q && q->RootSize(&width, &height)) {
    g_bounds.x = std::max(kHighest, width + kMargin);
    g_bounds.y = std::max(kHighest, height + kMargin);
  }
  return g_bounds;
}

bool InRange(int32_t v, int32_t highest) { return v >= kLowest && v <= highest; }

bool Accepted(int32_t left, int32_t top, int32_t right, int32_t bottom) {
  if (InRange(left, kHighest) && InRange(top, kHighest) && InRange(right, kHighest) &&
      InRange(bottom, kHighest))
    return true;
  const UpperBounds& b = CurrentBounds();
  return InRange(left, b.x) && InRange(right, b.x) && InRange(top, b.y) && InRange(bottom, b.y);
}

// Window checks shared by the three window notifications: exists, visible, not minimised.
bool Showing(WindowQuery* q, unsigned long w) {
  return q && q->Exists(w) && q->Visible(w) && !q->Minimised(w);
}

void AddRect(const Rect& r) { AddDirtyRect(r.left, r.top, r.right, r.bottom); }

void WholeWindow(unsigned long w) {
  WindowQuery* q = Windows();
  Rect r;
  if (!Showing(q, w) || !q->WindowRect(w, r) || r.IsEmpty()) return;
  AddRect(r);
}

void WindowFrame(unsigned long w) {
  WindowQuery* q = Windows();
  Rect W, C;
  if (!Showing(q, w) || !q->WindowRect(w, W) || W.IsEmpty()) return;
  if (!q->ClientRect(w, C)) return;
  AddDirtyRect(W.left, W.top, W.right, C.top);
  AddDirtyRect(W.left, W.top, C.left, W.bottom);
  AddDirtyRect(W.left, C.bottom, W.right, W.bottom);
  AddDirtyRect(C.right, W.top, W.right, W.bottom);
}

void ClientArea(unsigned long w) {
  WindowQuery* q = Windows();
  Rect C;
  if (!Showing(q, w) || !q->ClientRect(w, C) || C.IsEmpty()) return;
  AddRect(C);
}

// The union itself, without the range test.
void AddToDirtyRegion(int32_t left, int32_t top, int32_t right, int32_t bottom) {
  // Edges given the wrong way round still name an area; a zero-width band stays empty.
  if (left > right) std::swap(left, right);
  if (top > bottom) std::swap(top, bottom);
  if (left == right || top == bottom) return;
  const Rect r{left, top, right, bottom};
  std::lock_guard<std::mutex> hold(*g_mutex);
  g_dirty_region->Union(r);
}
}  // namespace

void AddDirtyRect(int32_t left, int32_t top, int32_t right, int32_t bottom) {
  if (!Accepted(left, top, right, bottom)) return;
  AddToDirtyRegion(left, top, right, bottom);
}

HookMessages QueryHookMessages() {
  HookMessages m;
  m.window = WM_Hooks_WindowChanged();
  m.border = WM_Hooks_WindowBorderChanged();
  m.client = WM_Hooks_WindowClientAreaChanged();
  m.rectangle = WM_Hooks_RectangleChanged();
  m.cursor = WM_Hooks_CursorChanged();
  return m;
}

void HandleHookMessage(const HookMessages& n, const ThreadMessage& m) {
  // Only bits 0..31 carry the packed edges; the window handle is the client's XID.
  const unsigned long window = static_cast<unsigned long>(m.lparam);
  if (m.message == n.window) {
    WholeWindow(window);
  } else if (m.message == n.border) {
    WindowFrame(window);
  } else if (m.message == n.client) {
    ClientArea(window);
  } else if (m.message == n.rectangle) {
    const uint32_t w = static_cast<uint32_t>(m.wparam), l = static_cast<uint32_t>(m.lparam);
    AddDirtyRect(static_cast<int32_t>(w & 0xffff), static_cast<int32_t>(w >> 16),
                 static_cast<int32_t>(l & 0xffff), static_cast<int32_t>(l >> 16));
  } else if (m.message == n.cursor) {
    g_cursor_changed.store(1);
  }
}

int HookThread(void*) {
  const HookMessages numbers = QueryHookMessages();
  ThreadMessage m;
  while (GetThreadMessage(m)) HandleHookMessage(numbers, m);
  WM_Hooks_Remove(CurrentThreadId());
  return 0;
}

void SetTrackerWindowQuery(WindowQuery* query) {
  g_query_override = query;
  g_bounds = UpperBounds{};
}

ScreenChangeSink TrackerSink() {
  // A screen source's damage lies on its own output, whatever its size: the range test, which
  // guards against the hook library's 16-bit packing, does not apply.
  return ScreenChangeSink{[](const Rect& r) {
                            if (g_screen_tracking.load())
                              AddToDirtyRegion(r.left, r.top, r.right, r.bottom);
                          },
                          [] { g_cursor_changed.store(1); }};
}

void StartScreenTracking() { g_screen_tracking.store(true); }

#include "server/Tracker.h"

#include <atomic>

#include "hooks/hooks.h"
#include "platform/Region.h"
#include "platform/Screen.h"
#include "platform/Thread.h"
#include "platform/ThreadQueue.h"
#include "platform/WindowQuery.h"
#include "server/ServerState.h"

namespace {
WindowQuery* g_query_override = nullptr;
std::atomic<bool> g_screen_tracking{false};

WindowQuery* Windows() { return g_query_override ? g_query_override : X11WindowQuery(); }

constexpr int32_t kLowest = -1000;
constexpr int32_t kHighest = 3000;

bool InRange(int32_t v) { return v >= kLowest && v <= kHighest; }

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
}  // namespace

void AddDirtyRect(int32_t left, int32_t top, int32_t right, int32_t bottom) {
  if (!InRange(left) || !InRange(top) || !InRange(right) || !InRange(bottom)) return;
  // Edges given the wrong way round still name an area; a zero-width band stays empty.
  if (left > right) std::swap(left, right);
  if (top > bottom) std::swap(top, bottom);
  if (left == right || top == bottom) return;
  const Rect r{left, top, right, bottom};
  std::lock_guard<std::mutex> hold(*g_mutex);
  g_dirty_region->Union(r);
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

void SetTrackerWindowQuery(WindowQuery* query) { g_query_override = query; }

ScreenChangeSink TrackerSink() {
  return ScreenChangeSink{[](const Rect& r) {
                            if (g_screen_tracking.load()) AddRect(r);
                          },
                          [] { g_cursor_changed.store(1); }};
}

void StartScreenTracking() { g_screen_tracking.store(true); }

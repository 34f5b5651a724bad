#pragma once
// The change tracker: the hook thread turns the hook library's notifications into screen
// rectangles in g_dirty_region and raises g_cursor_changed.
#include <cstdint>

class WindowQuery;
struct ScreenChangeSink;
struct ThreadMessage;

// Thread entry (start with StartThread); the argument is unused. Runs until its queue yields
// the quit message, then removes the hooks for itself and returns 0.
int HookThread(void*);
// Adds a rectangle to g_dirty_region under g_mutex, unless an edge lies outside -1000..3000.
// Swapped edges are put in order after the range test.
void AddDirtyRect(int32_t left, int32_t top, int32_t right, int32_t bottom);

// Message numbers of the five notifications, as asked from the hook library.
struct HookMessages {
  uint32_t window = 0, border = 0, client = 0, rectangle = 0, cursor = 0;
};
HookMessages QueryHookMessages();
// Handles one notification (HookThread's step for one message); other numbers are ignored.
void HandleHookMessage(const HookMessages& numbers, const ThreadMessage& m);

// Changes found by a screen source itself (a Wayland compositor's damage), on the source's
// thread: areas go to AddDirtyRect once StartScreenTracking has run (the region exists
// then; the first screen tick sends everything anyway), pointer changes set g_cursor_changed.
ScreenChangeSink TrackerSink();
void StartScreenTracking();

// Window questions used for window notifications; nullptr: X11WindowQuery() of the thread.
void SetTrackerWindowQuery(WindowQuery* query);

#pragma once
// The window-hook library libhooks.so: watches the X display with its own connection and
// thread and posts change notifications to one thread's queue (platform/ThreadQueue.h):
//   window changed, frame changed, client area changed: lparam = the client window's XID;
//   rectangle changed: wparam = left | top << 16, lparam = right | bottom << 16, unsigned
//     16-bit values of a rectangle already clipped to the root;
//   pointer changed: no parameters.
#include <cstdint>

#if defined(ORVANE_HOOKS_BUILD)
#define WM_HOOKS_API extern "C" __attribute__((visibility("default")))
#else
#define WM_HOOKS_API extern "C"
#endif

// Starts watching $DISPLAY for thread thread_id; flags are unused (0). Nonzero when the
// hooks are in place; 0 when there is no display or DAMAGE or XFixes is missing, or hooks are
// already installed for another thread.
WM_HOOKS_API int WM_Hooks_Install(long thread_id, int flags);
// Stops watching and joins the library's thread. Safe to call twice or without Install.
WM_HOOKS_API void WM_Hooks_Remove(long thread_id);

// Message numbers: 0xC000 + 0..4, distinct.
WM_HOOKS_API uint32_t WM_Hooks_WindowChanged(void);
WM_HOOKS_API uint32_t WM_Hooks_WindowBorderChanged(void);
WM_HOOKS_API uint32_t WM_Hooks_WindowClientAreaChanged(void);
WM_HOOKS_API uint32_t WM_Hooks_RectangleChanged(void);
WM_HOOKS_API uint32_t WM_Hooks_CursorChanged(void);

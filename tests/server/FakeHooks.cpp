// A hook library that refuses installation and records every call, so that the server's
// failure path and its exit step can be watched from outside. Built as libhooks.so in its own
// folder; a test copies it beside a copy of varno.
#include <cstdio>
#include <cstdlib>

#include "hooks/hooks.h"

namespace {
void Record(const char* what, long thread_id) {
  const char* path = std::getenv("FAKE_HOOKS_LOG");
  if (!path) return;
  if (FILE* f = std::fopen(path, "a")) {
    std::fprintf(f, "%s %ld\n", what, thread_id);
    std::fclose(f);
  }
}
}  // namespace

WM_HOOKS_API int WM_Hooks_Install(long thread_id, int) {
  Record("install", thread_id);
  return 0;
}
WM_HOOKS_API void WM_Hooks_Remove(long thread_id) { Record("remove", thread_id); }
WM_HOOKS_API uint32_t WM_Hooks_WindowChanged(void) { return 0xC000; }
WM_HOOKS_API uint32_t WM_Hooks_WindowBorderChanged(void) { return 0xC001; }
WM_HOOKS_API uint32_t WM_Hooks_WindowClientAreaChanged(void) { return 0xC002; }
WM_HOOKS_API uint32_t WM_Hooks_RectangleChanged(void) { return 0xC003; }
WM_HOOKS_API uint32_t WM_Hooks_CursorChanged(void) { return 0xC004; }

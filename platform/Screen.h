#pragma once
// The server's screen: geometry, pixel format, capture and pointer position. The sampler sees
// only ScreenSource, so tests run it on a fake. One ScreenSource is used by one thread (the
// server's main thread).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/Rect.h"

class ScreenSource {
 public:
  virtual ~ScreenSource() = default;
  // Visible area of the whole screen: (0, 0, width, height) for the X root.
  virtual Rect ClipBox() = 0;
  // Bits per pixel of the display's own pixel layout (8, 16, 24 or 32).
  virtual int BitsPerPixel() = 0;
  // Copies the pixels of r into out: r.Height() rows of stride bytes each, stride at least
  // ScanLineBytes(r.Width(), BitsPerPixel()); the row bytes past the pixels are zero. Parts of
  // r off the screen read as zero; at 32 bpp the fourth byte of every pixel is 0. False when
  // the screen could not be read (out is then undefined).
  virtual bool Capture(const Rect& r, uint8_t* out, std::size_t stride) = 0;
  // Pointer position in screen coordinates; false when it cannot be read.
  virtual bool PointerPosition(int32_t* x, int32_t* y) = 0;
  // True when the source reports its own changes to the ScreenChangeSink it was opened with,
  // so that no hook library is needed.
  virtual bool ReportsChanges() const { return false; }
};

// Where a screen source that learns of changes by itself (a Wayland compositor's damage)
// reports them. Called on the source's own thread, never with a lock of the source held:
// each must be quick and safe to call from any thread. Either may be empty.
struct ScreenChangeSink {
  std::function<void(const Rect&)> damage;      // an area changed, screen coordinates
  std::function<void()> pointer_changed;        // the pointer moved or changed its shape
};

// A screen on the X display display_name (nullptr: $DISPLAY), using MIT-SHM with one reused
// segment when the server offers it and XGetImage otherwise. X errors during a capture are
// caught and make that capture fail. nullptr when the display cannot be opened.
std::unique_ptr<ScreenSource> OpenX11Screen(const char* display_name = nullptr);

// The process's screen for the server: opened once, before QApplication, so that a missing
// display is reported by start-up itself. Later calls return the same object (never freed:
// the sampler uses it until the process ends). nullptr when there is no display.
ScreenSource* OpenServerScreen();
// The screen opened by OpenServerScreen, or nullptr.
ScreenSource* ServerScreen();

// True when an X display ($DISPLAY) can be opened.
bool X11DisplayUsable();
// Makes screen the process's server screen unless one was opened already; returns the
// server screen (never freed).
ScreenSource* AdoptServerScreen(std::unique_ptr<ScreenSource> screen);

// Which source the server reads the screen from.
enum class ScreenKind { kX11, kScreencopy, kPortal };
// setting: the stored choice, "x11", "screencopy" or "portal" (any case); empty or anything
// else chooses automatically: a Wayland source when the session is Wayland (session_type
// "wayland", or a Wayland display and no usable X11 one, whose XWayland root would read
// black), X11 otherwise.
ScreenKind ChooseScreenKind(const char* setting, const char* session_type, bool wayland_display,
                            bool x11_usable);
// Opens the server's screen of the kind the setting and the environment choose (above);
// sink receives the changes of a source that finds them itself. nullptr, with a log line,
// when that screen cannot be opened. Later calls return the same object.
ScreenSource* OpenServerScreen(const char* setting, ScreenChangeSink sink);

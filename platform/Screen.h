#pragma once
// The server's screen: geometry, pixel format, capture and pointer position. The sampler sees
// only ScreenSource, so tests run it on a fake. One ScreenSource is used by one thread (the
// server's main thread).
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "platform/Rect.h"
#include "platform/ScanLine.h"

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

// Where a screen tells its caller what it had to do without (one line of text, no line end):
// the caller logs it. Called on the thread that opens or uses the screen, and on a Wayland
// source's own thread when its capture ends; may be empty.
using ScreenNote = std::function<void(const char* text)>;

// Formats one line of at most 511 bytes for note; nothing when note is empty.
inline void NoteV(const ScreenNote& note, const char* format, va_list args) {
  if (!note) return;
  char line[512];
  std::vsnprintf(line, sizeof line, format, args);
  note(line);
}
__attribute__((format(printf, 2, 3))) inline void Note(const ScreenNote& note,
                                                       const char* format, ...) {
  va_list args;
  va_start(args, format);
  NoteV(note, format, args);
  va_end(args);
}

// A screen on the X display display_name (nullptr: $DISPLAY), using MIT-SHM with one reused
// segment when the server offers it and XGetImage otherwise (said once through note). X errors
// during a capture are caught and make that capture fail. nullptr when the display cannot be
// opened.
std::unique_ptr<ScreenSource> OpenX11Screen(const char* display_name = nullptr,
                                            ScreenNote note = nullptr);

// The process's screen for the server: opened once, before QApplication, so that a missing
// display is reported by start-up itself. Later calls return the same object (never freed:
// the sampler uses it until the process ends); their note is not used. nullptr when there is
// no display.
ScreenSource* OpenServerScreen(ScreenNote note = nullptr);
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
// black), screencopy where the compositor offers it and the portal otherwise; X11 otherwise.
ScreenKind ChooseScreenKind(const char* setting, const char* session_type, bool wayland_display,
                            bool x11_usable, bool screencopy_offered);
// The same for this process: its environment, and the X display and the compositor asked
// only where the choice depends on them.
ScreenKind ChooseServerScreenKind(const char* setting);

// Where the portal's restore token is kept from one start to the next.
struct PortalTokenStore {
  std::function<std::string()> load;
  std::function<void(const std::string&)> save;
};
// Opens the server's screen of kind; sink receives the changes of a source that finds them
// itself; note is told what the screen had to do without, or why it could not be opened (for
// the portal: what was refused). The portal's answers come through Qt's event loop, so the
// portal source is opened once the application object exists; the others before it, so that a
// missing display is reported by start-up itself instead of ending the process inside Qt.
// nullptr when that screen cannot be opened. Later calls return the same object.
ScreenSource* OpenServerScreen(ScreenKind kind, ScreenChangeSink sink, ScreenNote note,
                               const PortalTokenStore& tokens = {});
// True when Qt will find a display to run on: the compositor of $WAYLAND_DISPLAY or the X
// display.
bool GuiDisplayUsable();

#pragma once
// What the tests do on a private X display: screenshots through xwd, drawing on the root
// window, finding a visible window by its exact name, and typing into one (there is no window
// manager on a test display). Kept out of TestSupport.h because Xlib's macros clash with
// GoogleTest's names.
#include <cstdint>
#include <memory>
#include <string>

#include "tests/support/TestSupport.h"

namespace testsupport {

// A shot of the whole root window, 3 bytes a pixel.
struct Screenshot {
  int width = 0, height = 0;
  std::string rgb;
  // 0xRRGGBB; 0xFFFFFFFF outside the shot (a missing or short capture).
  uint32_t At(int x, int y) const;
};
Screenshot Grab(const std::string& display, int width, int height);
// The whole root window read through Xlib, each channel widened to 8 bits with the visual's
// masks (rounded). Unlike Grab it reads 16-bit screens right: ImageMagick's xwd reader shifts
// their channels (red lands in green), which only equal depths on both sides cancel out.
Screenshot GrabExact(const std::string& display);
// Pixels that differ between two shots of the same size; -1 when the sizes differ.
long Differences(const Screenshot& a, const Screenshot& b);

// Fills (x, y, w, h) of the root window with pixel and waits until the server has done it.
bool FillRootRectangle(const std::string& display, int x, int y, int w, int h,
                       unsigned long pixel);

// Covers the root window with a desktop of terminals full of text (the core "fixed" font,
// 6x13, strokes one pixel wide, in panes of several colours) and a strip of colour steps along
// the bottom, in the display's own pixel format at any depth. seed varies the text and colours.
bool DrawTerminals(const std::string& display, int seed);

// The id of a mapped window named exactly name, "" when there is none.
std::string VisibleWindow(const std::string& display, const std::string& name);
// Focuses the named window and types key (an xdotool key name) into it.
void KeyInto(const std::string& display, const std::string& name, const char* key);

// trayer as the system tray of a display, started again (up to three times) when its panel
// does not appear within 3 s.
class Trayer {
 public:
  explicit Trayer(const Xvfb& x);
  bool ok() const { return ok_; }
 private:
  std::unique_ptr<Child> child_;
  bool ok_ = false;
};

// Runs a command line through /bin/sh and returns its output without trailing blanks.
std::string Shell(const std::string& command);

}  // namespace testsupport

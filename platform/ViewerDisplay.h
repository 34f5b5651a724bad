#pragma once
// What the viewer needs to know of its own display: the pixel layout that a bitmap
// "compatible with the screen" has (bits per pixel of the root visual's ZPixmap format) and the
// desktop rectangle (the root window's clip box). On X11 queried once on the main thread before
// the QApplication exists, on a connection of its own; the result is plain data and may be read
// from any thread. 8-bit displays are refused by the viewer, so no colour table is read.
// On Wayland only the compositor is checked beforehand; the output's size comes from the
// toolkit once it is connected (WaylandDisplayFormat).

struct DisplayFormat {
  int bits_per_pixel = 0;  // 8 (refused by the viewer), 16, 24 or 32
  int depth = 0;           // 15 for a 5-5-5 layout at 16 bpp
  int width = 0, height = 0;
  // The root visual's colour masks, of a pixel read as a little-endian integer (0 for a
  // palette visual): a picture in the display's own layout has these.
  unsigned long red_mask = 0, green_mask = 0, blue_mask = 0;
};

// The query's connection. It stays open until the toolkit has connected too: an X server
// with no client left resets, and a connection made during the reset is refused.
class DisplayProbe {
 public:
  DisplayProbe() = default;
  ~DisplayProbe();
  DisplayProbe(const DisplayProbe&) = delete;
  DisplayProbe& operator=(const DisplayProbe&) = delete;
  // False when no display can be opened (DISPLAY unset or unreachable); last error set.
  bool Query(DisplayFormat* format);
  void Close();

 private:
  void* display_ = nullptr;  // Display*, kept out of this header
};

// True when a Wayland compositor answers at display_name (nullptr: $WAYLAND_DISPLAY, else
// "wayland-0"); last error set when not. Asked before the QApplication, whose Wayland platform
// ends the process when it cannot connect.
bool WaylandCompositorReachable(const char* display_name = nullptr);

// A Wayland output of width x height surface pixels: clients draw into 32-bit shared-memory
// buffers (XRGB8888, blue in the low byte) whatever the output, so the picture is 32-bit RGB.
DisplayFormat WaylandDisplayFormat(int width, int height);

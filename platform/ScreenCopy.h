#pragma once
// The screen of a wlroots compositor (sway, Hyprland, river, labwc...) through its
// zwlr_screencopy_manager_v1 global: no portal, no consent dialog, changes from the
// compositor's own damage.
//
// Contract: the source runs one thread of its own (the watcher) that owns the Wayland
// connection. It keeps asking for frames with copy_with_damage into shared memory, so the
// compositor answers only when something on the output changed; each finished frame becomes
// the picture that Capture reads, and only then are its damage rectangles, narrowed to the
// tiles whose pixels differ from the previous picture, handed to sink.damage (on the watcher
// thread). So an area reported as changed is already in the picture when the caller captures
// it, and damage without a changed pixel is not passed on. ClipBox, BitsPerPixel, Capture and PointerPosition may
// be called from one other thread (the server's main thread); destroying the source stops and
// joins the watcher and closes the connection.
//
// Pixels: 32 bits, bytes blue, green, red, 0, as the X11 source gives them at depth 24/32.
// Screen coordinates are the output's buffer pixels, (0, 0) at its top-left corner.
// The pointer: wlroots lets no client read the pointer position, so PointerPosition always
// fails and sink.pointer_changed is never called. With overlay_cursor the compositor draws
// the pointer into the picture (it is then sent as pixels); without, it is not shown at all
// where the compositor uses a hardware cursor plane.
#include <memory>

#include "platform/Screen.h"

struct ScreencopyOptions {
  const char* display = nullptr;  // Wayland display name or socket path; nullptr: $WAYLAND_DISPLAY
  const char* output = nullptr;   // output name (wl_output 4), nullptr: the first output
  bool overlay_cursor = true;     // draw the pointer into the picture
  // Frames are asked for at most this often: a playing video must not make the compositor
  // copy the whole output 60 times a second when the sampler sends 5 pictures a second.
  int min_frame_interval_ms = 50;
  // Open waits this long for the first picture.
  int first_frame_timeout_ms = 3000;
};

// nullptr, with one log line saying why, when there is no compositor, it offers no
// screencopy with damage (version 2), the output is missing, or no first frame arrives.
std::unique_ptr<ScreenSource> OpenScreencopyScreen(const ScreencopyOptions& options,
                                                   ScreenChangeSink sink);

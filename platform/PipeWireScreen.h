#pragma once
// The screen as a PipeWire video stream: the node a ScreenCast portal hands out for the
// monitor the user chose, read through the remote (a connection to the PipeWire daemon) that
// the portal opened for us.
//
// Contract: the source runs PipeWire's thread loop (one thread of its own). Each frame is
// converted to B, G, R, 0 (the X11 source's layout at depth 24/32) into a scratch picture;
// the parts that changed are copied into the picture Capture reads and only then handed to
// sink.damage (on the PipeWire thread), so an area reported as changed is in the picture
// when the caller captures it. Which parts changed: the frame's damage metadata
// (SPA_META_VideoDamage) where it has any, narrowed to the tiles whose pixels differ;
// without it the whole frame is compared in tiles, so a producer that repeats an unchanged
// picture costs a comparison and sends nothing. The cursor metadata (SPA_META_Cursor) gives
// PointerPosition; a new position calls sink.pointer_changed. ClipBox, BitsPerPixel,
// Capture and PointerPosition may be called from one other thread (the server's main
// thread); destroying the source stops the loop, then closes the stream and the remote.
#include <cstdint>
#include <memory>

#include "platform/Screen.h"

struct PipeWireStreamOptions {
  // A connection to the PipeWire daemon, given to the source (closed by it, also when
  // opening fails); -1: connect to the daemon of $XDG_RUNTIME_DIR/$PIPEWIRE_REMOTE.
  int remote_fd = -1;
  uint32_t node = 0;  // the node to read
  // The size the portal announced, offered first when the format is negotiated.
  int width_hint = 0, height_hint = 0;
  int first_frame_timeout_ms = 3000;
  // Told why the stream could not open or ended (one line, no line end); may be empty.
  ScreenNote note;
};

// nullptr, with one note saying why, when the daemon cannot be reached, the stream does
// not come up or no first frame arrives in time.
std::unique_ptr<ScreenSource> OpenPipeWireScreen(const PipeWireStreamOptions& options,
                                                 ScreenChangeSink sink);

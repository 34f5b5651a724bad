#pragma once
// A drawing Wayland client for tests: one full-screen xdg toplevel in shared memory whose
// rectangles the test fills, each fill shown by the compositor before the call returns.
// Single-threaded: the calling thread owns the connection.
#include <cstdint>
#include <memory>
#include <string>

namespace testsupport {

class WaylandPainter {
 public:
  // socket: a Wayland display name or absolute socket path. width x height is the size used
  // when the compositor leaves it to the client (the output's size for a full-screen
  // surface). full_screen asks for a full-screen surface, which sway scans out directly
  // instead of compositing it; otherwise it is the desktop's only tiled window. Starts all
  // black.
  WaylandPainter(const std::string& socket, int width = 640, int height = 480,
                 bool full_screen = false);
  ~WaylandPainter();
  bool ok() const;
  int width() const;
  int height() const;

  // Fills (x, y, w, h) with 0xRRGGBB and waits until the compositor has drawn the frame.
  bool Fill(int x, int y, int w, int h, uint32_t rgb);
  // Covers the whole surface with a pattern in which neighbouring pixels and the three colour
  // channels all differ, so that a shifted, mirrored or channel-swapped copy cannot match.
  bool Pattern(uint32_t seed);

  WaylandPainter(const WaylandPainter&) = delete;
  WaylandPainter& operator=(const WaylandPainter&) = delete;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace testsupport

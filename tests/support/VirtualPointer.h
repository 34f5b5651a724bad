#pragma once
// The user's mouse on a headless wlroots desktop: a pointer device made through
// zwlr_virtual_pointer_manager_v1, which gives the seat a pointer (and sway a cursor to draw)
// for as long as the object lives. Single-threaded.
#include <memory>
#include <string>

namespace testsupport {

class VirtualPointer {
 public:
  // socket: the Wayland display; width x height: the output layout the positions are in.
  VirtualPointer(const std::string& socket, int width, int height);
  ~VirtualPointer();
  bool ok() const;
  // Moves the pointer to (x, y) and waits until the compositor has taken the move.
  bool MoveTo(int x, int y);

  VirtualPointer(const VirtualPointer&) = delete;
  VirtualPointer& operator=(const VirtualPointer&) = delete;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace testsupport

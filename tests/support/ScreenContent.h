#pragma once
// Screens to send in tests and benchmarks, drawn on a test display's root window: text-like
// (dark lines of characters on white, a title bar) and photo-like (smooth gradients with
// sensor-like noise, what a photograph gives a fast compressor); and the root's pixels as
// the wire carries them at 24/32 bits (blue, green, red, 0).
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

bool DrawTextScreen(const std::string& display, int width, int height, unsigned seed = 7);
bool DrawPhotoScreen(const std::string& display, int width, int height, unsigned seed = 11);
// Draws one more line of text at row y (a client writing); false without a display.
bool DrawTextLine(const std::string& display, int y, int width, unsigned seed);
// A client drawing photo-like patches (random pixels) at random places of a display's root,
// over one connection; it can move the pointer too.
class PatchPainter {
 public:
  PatchPainter(const std::string& display, int patch_width, int patch_height, unsigned seed);
  ~PatchPainter();
  bool ok() const;
  // Draws one patch within screen_width x screen_height and waits until the server has it;
  // *x, *y: where it went.
  void Paint(int screen_width, int screen_height, int* x, int* y);
  void MovePointer(int x, int y);

 private:
  struct State;
  std::unique_ptr<State> s_;
};

// width x height pixels of the root, 4 bytes each (blue, green, red, 0); empty on failure.
std::vector<uint8_t> RootPixels(const std::string& display, int width, int height);
// Pixels whose first three bytes differ; -1 when the sizes differ.
long PixelsDiffering(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);

}  // namespace testsupport

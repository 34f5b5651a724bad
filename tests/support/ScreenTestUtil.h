#pragma once
// What the tests of screen sources share: the damage a source reports, and its whole
// picture.
#include <cstdint>
#include <mutex>
#include <vector>

#include "Common/UpdateHeader.h"
#include "platform/Region.h"
#include "platform/Screen.h"

namespace testsupport {

// Damage and pointer changes as a sink receives them, on the source's thread.
struct DamageLog {
  std::mutex mutex;
  Region region;
  int calls = 0;
  int pointer_calls = 0;

  ScreenChangeSink Sink() {
    return ScreenChangeSink{[this](const Rect& r) {
                              std::lock_guard<std::mutex> hold(mutex);
                              region.Union(r);
                              ++calls;
                            },
                            [this] {
                              std::lock_guard<std::mutex> hold(mutex);
                              ++pointer_calls;
                            }};
  }
  void Clear() {
    std::lock_guard<std::mutex> hold(mutex);
    region.Clear();
    calls = 0;
    pointer_calls = 0;
  }
  int Calls() {
    std::lock_guard<std::mutex> hold(mutex);
    return calls;
  }
  int PointerCalls() {
    std::lock_guard<std::mutex> hold(mutex);
    return pointer_calls;
  }
  bool Covers(const Rect& r) {
    std::lock_guard<std::mutex> hold(mutex);
    return region.Contains(r);
  }
  Region Copy() {
    std::lock_guard<std::mutex> hold(mutex);
    return region;
  }
};

// The whole picture (B, G, R, 0), rows of *stride bytes; empty when the capture fails.
inline std::vector<uint8_t> CaptureAll(ScreenSource& screen, std::size_t* stride) {
  const Rect box = screen.ClipBox();
  *stride = static_cast<std::size_t>(ScanLineBytes(box.Width(), 32));
  std::vector<uint8_t> out(*stride * static_cast<std::size_t>(box.Height()), 0xEE);
  if (!screen.Capture(box, out.data(), *stride)) out.clear();
  return out;
}

}  // namespace testsupport

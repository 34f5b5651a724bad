#include "bench/BenchContent.h"

#include "tests/support/ScreenContent.h"

// The tests' own pictures, so that benchmark and network tests send the same content.
bool DrawBenchContent(const std::string& display, BenchContent content, int width, int height) {
  return content == BenchContent::kText ? testsupport::DrawTextScreen(display, width, height)
                                        : testsupport::DrawPhotoScreen(display, width, height);
}

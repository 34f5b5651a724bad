// Time of one full refresh of a 1920x1080x24 Xvfb screen, split into capture, compression
// and sending, against the floor: the same capture and compression calls alone on the same
// pixels. Sends multicast, so it refuses to run outside a private network namespace
// (run it through tests/netns-run).
#include <cstdio>
#include <cstdlib>

#include "bench/BenchContent.h"
#include "bench/BenchSupport.h"
#include "platform/Screen.h"
#include "server/ServerState.h"
#include "tests/support/TestSupport.h"

namespace {
constexpr int kW = 1920, kH = 1080;
}  // namespace

int main() {
  if (!testsupport::InPrivateNetwork()) {
    fprintf(stderr, "engine_bench multicasts: run it through tests/netns-run\n");
    return 2;
  }
  testsupport::Xvfb x(kW, kH, 24);
  if (!x.ok()) {
    fprintf(stderr, "no Xvfb\n");
    return 1;
  }
  setenv("DISPLAY", x.display().c_str(), 1);
  ScreenSource* screen = OpenServerScreen();
  if (!screen) return 1;
  if (!SetUpServerState(kW, kH)) return 1;
  PrintMachine();
  printf("1920x1080 at %d bpp, level %d, medians of %d runs\n", screen->BitsPerPixel(),
         g_compression_level, kBenchRuns);
  if (!DrawBenchContent(x.display(), BenchContent::kText, kW, kH)) return 1;
  ReportRefresh("text", MeasureFullRefresh(*screen, kW, kH));
  if (!DrawBenchContent(x.display(), BenchContent::kPhoto, kW, kH)) return 1;
  ReportRefresh("photo", MeasureFullRefresh(*screen, kW, kH));
  return 0;
}

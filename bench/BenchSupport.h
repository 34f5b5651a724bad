#pragma once
// What the benchmarks share: the time of one full refresh through the sampler, split into
// capture, compression and sending, against the floor (the same capture and compression
// calls alone on the same pixels). The server's shared state (g_dirty_region, g_mutex,
// g_clip, g_multicast_sock) must be set up by the caller.
#include <cstddef>
#include <vector>

class ScreenSource;

constexpr int kBenchRuns = 21;

struct RefreshResult {
  double total, capture, compress, send, floor, floor_capture, floor_compress;
  std::size_t datagrams, bytes;
};

double Median(std::vector<double> v);
// The server's shared state for a width x height screen: the dirty region and its lock, the
// broadcast area, the sending socket (group and port of this build's defaults). False when the
// socket cannot be opened.
bool SetUpServerState(int width, int height);
// Medians of kBenchRuns full refreshes of the width x height screen, alternated with floors
// so that the load of a shared machine weighs on both.
RefreshResult MeasureFullRefresh(ScreenSource& screen, int width, int height);
// One line: name, the split, datagrams and bytes, the floor and the ratios.
void ReportRefresh(const char* name, const RefreshResult& r);
// "N cores, load a b c" of this machine now.
void PrintMachine();

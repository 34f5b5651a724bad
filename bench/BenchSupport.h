#pragma once
// What the benchmarks share: the time of one full refresh through the sampler, split into
// capture, compression and sending, against the floor (the same capture and compression
// calls alone on the same pixels). The server's shared state (g_dirty_region, g_mutex,
// g_clip, g_multicast_sock) must be set up by the caller.
#include <cstddef>
#include <vector>

#include "platform/Rect.h"

class ScreenSource;

constexpr int kBenchRuns = 21;

struct RefreshResult {
  double total, capture, compress, send, floor, floor_capture, floor_compress;
  std::size_t datagrams, bytes;
};

double Median(std::vector<double> v);
// CPU time of the calling thread: what it did itself, whatever else the cores ran.
double ThreadCpuSeconds();
// The server's shared state for a width x height screen: the dirty region and its lock, the
// broadcast area, the sending socket (group and port of this build's defaults) and the
// server's sender thread. False when the socket or the thread cannot be had.
bool SetUpServerState(int width, int height);
// The floor of a full refresh: one capture of the width x height screen and one compression
// call per block, on the same pixels, nothing else. Wall time; the split and the thread's
// CPU time in the pointers given.
double MeasureFloor(ScreenSource& screen, const std::vector<Rect>& blocks, int width, int height,
                    double* capture_s, double* compress_s, double* cpu_s);
// Medians of kBenchRuns full refreshes of the width x height screen, each in one tick and
// sent on this thread, alternated with floors so that the load of a shared machine weighs on
// both.
RefreshResult MeasureFullRefresh(ScreenSource& screen, int width, int height);
// One line: name, the split, datagrams and bytes, the floor and the ratios.
void ReportRefresh(const char* name, const RefreshResult& r);
// "N cores, load a b c" of this machine now.
void PrintMachine();

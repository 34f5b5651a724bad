#pragma once
// What the benchmarks share: a full refresh through the sampler, the compression pool and a
// sender, timed until its last datagram has gone, against the floor: the same captures on
// this thread and the same compression calls spread over one thread a core, nothing else.
// The server's shared state (g_dirty_region, g_mutex, g_clip, g_multicast_sock) must be set
// up by the caller.
#include <chrono>
#include <cstddef>
#include <memory>
#include <vector>

#include "platform/Rect.h"
#include "server/Sender.h"

class ScreenSource;

constexpr int kBenchRuns = 21;

double Median(std::vector<double> v);
// CPU time of the calling thread, and of the whole process: what it did itself, whatever
// else the cores ran.
double ThreadCpuSeconds();
double ProcessCpuSeconds();
// Lets a full refresh begin now: the sampler begins at most one a second, so the benchmarks
// run it on a clock of their own, real time plus two seconds for every refresh begun.
void AllowRefreshNow();
// The server's shared state for a width x height screen: the dirty region and its lock, the
// broadcast area, the sending socket (group and port of this build's defaults) and the
// server's sender thread. False when the socket or the thread cannot be had.
bool SetUpServerState(int width, int height);

// A sender of the benchmark's own: onto the wire through g_multicast_sock (wire), or nowhere
// (the cost of everything but the network). It notes the rectangles of the blocks it sends
// while recording.
class BenchSender {
 public:
  explicit BenchSender(bool wire);
  ~BenchSender();
  Sender& sender() { return *sender_; }
  // Starts recording block rectangles afresh, or stops.
  void Record(bool on);
  std::vector<Rect> Recorded();
  // Waits until everything handed over has gone; when the last of it went.
  std::chrono::steady_clock::time_point Settle();

 private:
  struct Transport;
  std::unique_ptr<Transport> transport_;
  std::unique_ptr<Sender> sender_;
};

struct RefreshResult {
  double total;      // from the tick to the last datagram gone
  double main;       // the main thread's ticks
  double ticks;
  double capture, compare, handover;  // within main
  double compress;   // the workers' time, added up
  double cpu;        // the process's CPU time
  double floor, floor_capture, floor_compress, floor_cpu;
  std::size_t datagrams, bytes;
  double misses, deflated;  // pieces cut again; pixel bytes compressed per pixel byte
};

// The floor of a full refresh: the width x height screen captured in the sampler's bands on
// this thread, and one compression call per block (as the cutter makes it, at
// g_compression_level and g_max_datagram) on one thread a core, each block as soon as its
// rows are in; nothing else. Wall time; the split and the process's CPU time in the pointers
// given.
double MeasureFloor(ScreenSource& screen, const std::vector<Rect>& blocks, int width, int height,
                    double* capture_s, double* compress_s, double* cpu_s);
// Medians of kBenchRuns full refreshes of the width x height screen through the sampler at
// g_max_datagram, unpaced, ticking as the tray's timers do (a tick that stopped for its time
// goes on at once), each until out has sent the last datagram; alternated with floors, so
// that the load of a shared machine weighs on both.
RefreshResult MeasureFullRefresh(ScreenSource& screen, int width, int height, BenchSender& out);
// One line: name, the split, datagrams and bytes, the floor and the ratios.
void ReportRefresh(const char* name, const RefreshResult& r);
// "N cores, load a b c" of this machine now.
void PrintMachine();

#pragma once
// The benchmarks' two 1920x1080 screens, drawn on an X display: text-like (a page of text
// lines under a title bar) and photo-like (smooth shapes with sensor noise), the median the
// benchmarks report, and the machine's load beside it.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#define Region XlibRegion
#include <X11/Xlib.h>
#undef Region

namespace bench {

using Clock = std::chrono::steady_clock;
constexpr int kW = 1920, kH = 1080;
constexpr int kRuns = 21;  // a figure is the median of this many runs

void DrawTextFrame(Display* d);
void DrawPhotoFrame(Display* d);

inline double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The machine is shared: each figure says what else was running (1, 5 and 15 minute load).
inline void PrintLoad(const char* when) {
  std::ifstream f("/proc/loadavg");
  std::string one, five, fifteen;
  f >> one >> five >> fifteen;
  printf("load average %s: %s %s %s\n", when, one.c_str(), five.c_str(), fifteen.c_str());
  fflush(stdout);
}

}  // namespace bench

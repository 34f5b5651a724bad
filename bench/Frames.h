#pragma once
// The benchmarks' two 1920x1080 screens, drawn on an X display: text-like (a page of text
// lines under a title bar) and photo-like (smooth shapes with sensor noise), and the median
// the benchmarks report.
#include <algorithm>
#include <vector>

#define Region XlibRegion
#include <X11/Xlib.h>
#undef Region

namespace bench {

constexpr int kW = 1920, kH = 1080;

void DrawTextFrame(Display* d);
void DrawPhotoFrame(Display* d);

inline double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace bench

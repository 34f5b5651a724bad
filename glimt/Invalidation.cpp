#include "glimt/Invalidation.h"

#include <algorithm>

namespace {

bool Meet(const AreaRect& a, const AreaRect& b) {
  return a.left <= b.right && b.left <= a.right && a.top <= b.bottom && b.top <= a.bottom;
}

AreaRect Union(const AreaRect& a, const AreaRect& b) {
  return {std::min(a.left, b.left), std::min(a.top, b.top), std::max(a.right, b.right),
          std::max(a.bottom, b.bottom)};
}

}  // namespace

bool PendingRepaints::Add(const AreaRect& r) {
  if (r.left >= r.right || r.top >= r.bottom) return false;
  std::lock_guard<std::mutex> hold(mutex_);
  const bool was_empty = rects_.empty();
  for (AreaRect& p : rects_)
    if (Meet(p, r)) {
      p = Union(p, r);
      return was_empty;
    }
  if (rects_.size() < kMaxRects) {
    rects_.push_back(r);
    return was_empty;
  }
  AreaRect all = r;
  for (const AreaRect& p : rects_) all = Union(all, p);
  rects_.assign(1, all);
  return was_empty;
}

std::vector<AreaRect> PendingRepaints::Take() {
  std::lock_guard<std::mutex> hold(mutex_);
  std::vector<AreaRect> taken;
  taken.swap(rects_);
  return taken;
}

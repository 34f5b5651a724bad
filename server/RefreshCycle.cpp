#include "server/RefreshCycle.h"

#include <algorithm>
#include <cmath>

void RefreshCycle::Configure(uint32_t cycle_seconds, uint64_t rate_bytes) {
  cycle_s_ = cycle_seconds;
  share_ = kRateShare * static_cast<double>(rate_bytes);
  credit_ = std::min(credit_, share_);
}

bool RefreshCycle::AreaDue(Clock::time_point now) const {
  return on() && (!area_sent_ || now - last_area_ >= kAreaEvery);
}

void RefreshCycle::AreaSent(Clock::time_point now) {
  area_sent_ = true;
  last_area_ = now;
}

void RefreshCycle::Restart(Clock::time_point now) {
  done_ = 0;
  started_ = true;
  last_ = now;
}

Rect RefreshCycle::NextSlice(const Rect& area, Clock::time_point now) {
  if (!on() || area.IsEmpty()) return Rect{};
  if (!started_) {
    Restart(now);
    return Rect{};
  }
  const double elapsed = std::chrono::duration<double>(now - last_).count();
  last_ = now;
  if (elapsed <= 0) return Rect{};
  if (share_ > 0) {
    // Up to a second's share may be saved up; a slice in debt waits, and the cycle stretches.
    credit_ = std::min(credit_ + share_ * elapsed, share_);
    if (credit_ < 0) return Rect{};
  }
  const double next = std::min(1.0, done_ + elapsed / cycle_s_);
  const int64_t h = area.Height();
  const auto from = static_cast<int64_t>(std::floor(done_ * static_cast<double>(h)));
  const auto to = next >= 1.0 ? h : static_cast<int64_t>(std::floor(next * static_cast<double>(h)));
  done_ = next >= 1.0 ? 0 : next;
  if (to <= from) return Rect{};
  return Rect{area.left, static_cast<int32_t>(area.top + from), area.right,
              static_cast<int32_t>(area.top + to)};
}

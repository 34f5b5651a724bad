#include "Common/FailureThrottle.h"

#include "Common/Log.h"
#include "platform/LastError.h"

FailureThrottle::FailureThrottle(std::chrono::milliseconds period,
                                 std::function<TimePoint()> clock)
    : period_(period),
      clock_(clock ? std::move(clock) : [] { return std::chrono::steady_clock::now(); }) {}

bool FailureThrottle::Due(TimePoint now) const { return !written_ || now - last_ >= period_; }

void FailureThrottle::WriteHeld(TimePoint now) {
  LastErrorKeeper keep;
  const long count = held_.exchange(0);
  SetLastError(error_);
  LogError("ASSERT(%s) failed %ld more time%s in module [%s:%d]", condition_, count,
           count == 1 ? "" : "s", source_, line_);
  written_ = true;
  last_ = now;
}

void FailureThrottle::Failed(const char* condition, const char* source, int line) {
  std::lock_guard<std::mutex> hold(mutex_);
  const TimePoint now = clock_();
  condition_ = condition;
  source_ = source;
  line_ = line;
  error_ = GetLastError();
  if (!Due(now)) {
    held_.fetch_add(1);
    return;
  }
  if (held_.load() > 0) {
    held_.fetch_add(1);
    WriteHeld(now);
    return;
  }
  ReportCheckFailure(condition, source, line);
  written_ = true;
  last_ = now;
}

void FailureThrottle::Succeeded() {
  // The common case, nothing held back, takes no lock.
  if (held_.load(std::memory_order_relaxed) == 0) return;
  std::lock_guard<std::mutex> hold(mutex_);
  const TimePoint now = clock_();
  if (held_.load() > 0 && Due(now)) WriteHeld(now);
}

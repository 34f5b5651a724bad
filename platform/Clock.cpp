#include "platform/Clock.h"

#include <mutex>

namespace {
std::mutex g_clock_mutex;
// Never destroyed: detached worker threads may still write a log line while the process
// exits.
std::function<std::time_t()>& ClockSource() {
  static auto* source = new std::function<std::time_t()>;
  return *source;
}
}  // namespace

LocalTime LocalNow() {
  std::time_t now;
  {
    std::lock_guard<std::mutex> lock(g_clock_mutex);
    auto& source = ClockSource();
    now = source ? source() : std::time(nullptr);
  }
  struct tm tm {};
  localtime_r(&now, &tm);
  return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

void SetClockForTest(std::function<std::time_t()> now) {
  std::lock_guard<std::mutex> lock(g_clock_mutex);
  ClockSource() = std::move(now);
}

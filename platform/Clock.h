#pragma once
// Local wall-clock time, injectable so that the monthly log name is testable.
#include <ctime>
#include <functional>

struct LocalTime {
  int year, month, day, hour, minute, second;  // month 1..12
};

LocalTime LocalNow();
// Tests only: a source of "now" (nullptr restores the real clock).
void SetClockForTest(std::function<std::time_t()> now);

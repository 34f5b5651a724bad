#pragma once
// Keeps a check that fails over and over (a sender whose every datagram is refused) from
// flooding the log: the first failure writes the usual two-line report, failures within the
// next period are only counted, and the count goes out as one line once a period has passed,
// at the next failure or success. Any thread; the calling thread's last error is kept.
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>

class FailureThrottle {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  // clock: the time source (tests inject one); nullptr is the steady clock.
  explicit FailureThrottle(std::chrono::milliseconds period = std::chrono::seconds(1),
                           std::function<TimePoint()> clock = nullptr);

  // One failure of the check written in the source as condition, at source:line; its cause is
  // the calling thread's last error.
  void Failed(const char* condition, const char* source, int line);
  // A success of the same operation: writes out the failures still held back, when due.
  void Succeeded();

 private:
  bool Due(TimePoint now) const;
  void WriteHeld(TimePoint now);

  const std::chrono::milliseconds period_;
  const std::function<TimePoint()> clock_;
  std::mutex mutex_;
  std::atomic<long> held_{0};  // failures counted since the last line
  bool written_ = false;       // a line has been written (last_ is valid)
  TimePoint last_{};
  // The latest held failure: what its summary line names.
  const char* condition_ = "";
  const char* source_ = "";
  int line_ = 0;
  int error_ = 0;
};

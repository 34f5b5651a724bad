#pragma once
// Pacing of what the server puts on the wire: a token bucket counted in the bytes an
// Ethernet link carries (IP fragments with their headers), so that a switch port no faster
// than MaxRate is never flooded. Portable; the caller passes the time, so tests need no clock.
#include <chrono>
#include <cstddef>
#include <cstdint>

// Bytes on an Ethernet link for one UDP datagram of payload bytes: each IP fragment of at
// most 1500 bytes carries its own IP (20) and Ethernet (14) header.
std::size_t WireBytes(std::size_t payload);

// The bucket's depth for a rate: a few milliseconds of it, at least 16 KB, and at least two of
// the largest datagrams (a datagram cannot be split, so one must always fit).
std::size_t BurstFor(uint64_t bytes_per_second, std::size_t max_datagram);

class TokenBucket {
 public:
  using Clock = std::chrono::steady_clock;
  // bytes_per_second 0: unpaced, every request is granted. Starts full.
  void Configure(uint64_t bytes_per_second, std::size_t burst, Clock::time_point now);
  bool paced() const { return rate_ > 0; }
  uint64_t rate() const { return static_cast<uint64_t>(rate_); }
  // Takes bytes when the bucket holds them.
  bool TryTake(std::size_t bytes, Clock::time_point now);
  // Takes bytes even into debt: datagrams that may not wait (the pointer) still count.
  void Charge(std::size_t bytes, Clock::time_point now);
  // The earliest time at which TryTake(bytes) succeeds.
  Clock::time_point ReadyAt(std::size_t bytes, Clock::time_point now);

 private:
  void Refill(Clock::time_point now);
  double rate_ = 0;  // bytes per second
  double burst_ = 0;
  double tokens_ = 0;
  Clock::time_point last_{};
};

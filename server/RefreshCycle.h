#pragma once
// A picture that heals itself, and refresh requests that cannot storm. Over every
// RefreshCycle the whole broadcast area goes out once more, a slice of rows per screen tick,
// within a share of MaxRate; an UPDATE_AREA goes out at least once a second, so that a viewer
// that missed the first one (started with a group address, or minimised) builds its picture
// without asking. Requested full refreshes begin at most once a second: requests in between
// merge into one. Portable; the caller passes the time.
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "platform/Rect.h"

class RefreshCycle {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kAreaEvery{1};
  // The slices take at most this share of MaxRate; beyond it the cycle stretches.
  static constexpr double kRateShare = 0.25;

  // cycle_seconds 0: off (no slices, no repeated area). rate_bytes: MaxRate in bytes a
  // second, 0 for unpaced (the share is then unbounded).
  void Configure(uint32_t cycle_seconds, uint64_t rate_bytes);
  bool on() const { return cycle_s_ > 0; }

  // An UPDATE_AREA is due: none went out for a second (never while off).
  bool AreaDue(Clock::time_point now) const;
  void AreaSent(Clock::time_point now);

  // The rows of area whose turn has come since the last call: empty when off, at the first
  // call, or while the slices are over their share. Advances the cycle.
  Rect NextSlice(const Rect& area, Clock::time_point now);
  // What the last slice cost on the wire, against the share.
  void SliceSent(std::size_t bytes) { credit_ -= static_cast<double>(bytes); }
  // A full refresh went out: the cycle starts again at the top.
  void Restart(Clock::time_point now);

 private:
  uint32_t cycle_s_ = 0;
  double share_ = 0;     // bytes a second the slices may take; 0: unbounded
  double credit_ = 0;    // bytes they may take now; below 0 they wait
  double done_ = 0;      // part of the area sent in this cycle, 0..1
  bool started_ = false;
  Clock::time_point last_{};
  bool area_sent_ = false;
  Clock::time_point last_area_{};
};

class RefreshGate {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kMinGap{1};
  // A requested full refresh may begin: none began within the last second.
  bool MayBegin(Clock::time_point now) const { return !began_ || now - last_ >= kMinGap; }
  // When the next may begin (meaningful once one began).
  Clock::time_point OpensAt() const { return last_ + kMinGap; }
  void Began(Clock::time_point now) {
    began_ = true;
    last_ = now;
  }

 private:
  bool began_ = false;
  Clock::time_point last_{};
};

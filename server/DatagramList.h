#pragma once
// The datagrams one compression job makes, end to end in one buffer ready for sendmmsg, each
// followed by room for the sealer's trailer so that it is sealed where it lies; and the
// rectangles the job had to drop. Buffers only grow: in the steady state nothing is
// allocated. Portable; used by one thread at a time.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/Rect.h"

// A byte buffer that only grows (realloc: no zero fill). Growth is counted for the tests.
struct GrowBuffer {
  uint8_t* data = nullptr;
  std::size_t size = 0;
  GrowBuffer() = default;
  ~GrowBuffer();
  GrowBuffer(const GrowBuffer&) = delete;
  GrowBuffer& operator=(const GrowBuffer&) = delete;
  // False (buffer unchanged) when the memory cannot be had.
  bool Reserve(std::size_t bytes);
  static std::size_t Growths();  // process-wide count of successful growths
};

class DatagramList {
 public:
  // Empties the list; every datagram made from now on is followed by spare free bytes.
  void Clear(std::size_t spare = 0);
  // Room for one datagram of at most max bytes (and its spare), or nullptr. Finish it with
  // Commit; without a Commit the room is used again by the next Begin.
  uint8_t* Begin(std::size_t max);
  void Commit(std::size_t bytes);
  // A rectangle that could not be sent (compression failed, or no memory).
  void Drop(const Rect& r);

  std::size_t Count() const { return count_; }
  uint8_t* Data(std::size_t i) const { return bytes_.data + Start(i); }
  std::size_t Length(std::size_t i) const { return ends_[i] - Start(i) - spare_; }
  std::size_t Spare() const { return spare_; }
  std::size_t Bytes() const { return used_ - count_ * spare_; }  // the datagrams alone
  const std::vector<Rect>& dropped() const { return dropped_; }

 private:
  std::size_t Start(std::size_t i) const { return i ? ends_[i - 1] : 0; }
  GrowBuffer bytes_;
  std::size_t used_ = 0, count_ = 0, spare_ = 0;
  std::vector<std::size_t> ends_;  // end of each datagram's spare; keeps its capacity
  std::vector<Rect> dropped_;
};

#pragma once
// The control lane between the sampler (main thread) and the sender thread: pointer and area
// datagrams, bounded in number, that go ahead of every block; and the sender's wait for them
// (or for anything else that wakes it, such as blocks coming ready). Blocks themselves come
// from the compression pool. Nothing here blocks the producer. Portable; any thread.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

using DatagramBytes = std::vector<uint8_t>;  // the whole datagram; capacity leaves room to seal it

// Where the sampler hands its pointer and area datagrams: the sender in the server, recorders
// in tests. (Blocks go through the compression pool.)
class DatagramOutput {
 public:
  virtual ~DatagramOutput() = default;
  // Queues a pointer or area datagram ahead of every block.
  virtual void PushControl(DatagramBytes datagram) = 0;
  // Bytes the sending stage appends to every datagram (its sealer's trailer).
  virtual std::size_t TrailerBytes() = 0;
};

class SendQueue {
 public:
  using Clock = std::chrono::steady_clock;
  // Control datagrams waiting at most; beyond, the oldest is dropped (a newer pointer or
  // area says more than it).
  static constexpr std::size_t kControlEntries = 32;

  void PushControl(DatagramBytes datagram);
  std::size_t DroppedControl() const;

  // Sender side. Waits until a control datagram is queued, the deadline passes or Wake() is
  // called (also before the wait began: a wake is never lost).
  void WaitUntil(Clock::time_point deadline);
  void Wake();
  // Moves every waiting control datagram into out (in order).
  void TakeControl(std::vector<DatagramBytes>& out);
  bool Empty() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  bool woken_ = false;
  std::size_t dropped_control_ = 0;
  std::deque<DatagramBytes> control_;
};

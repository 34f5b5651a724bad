#pragma once
// The hand-over between the sampler (main thread) and the sender thread. Blocks wait in
// order of capture, bounded in bytes; control datagrams (pointer, area) go ahead of every
// block, bounded in number. Nothing here blocks the producer. Portable; any thread.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

using DatagramBytes = std::vector<uint8_t>;  // the whole datagram; capacity leaves room to seal it

// Where the sampler hands its datagrams: the sender in the server, recorders in tests.
class DatagramOutput {
 public:
  virtual ~DatagramOutput() = default;
  // Bytes of blocks that may be handed over now without passing the bound.
  virtual std::size_t Room() = 0;
  // Queues a block behind every earlier one; false (and nothing queued) past the bound.
  // Blocks may wait until the next Flush.
  virtual bool PushBlock(DatagramBytes datagram) = 0;
  // The blocks handed over so far may go.
  virtual void Flush() = 0;
  // Queues a pointer or area datagram ahead of every block.
  virtual void PushControl(DatagramBytes datagram) = 0;
  // Bytes the sending stage appends to every datagram (its sealer's trailer).
  virtual std::size_t TrailerBytes() = 0;
};

class SendQueue {
 public:
  using Clock = std::chrono::steady_clock;
  // Bookkeeping a queued datagram costs besides its bytes, counted against the bound.
  static constexpr std::size_t kEntryBytes = 64;
  // Control datagrams waiting at most; beyond, the oldest is dropped (a newer pointer or
  // area says more than it).
  static constexpr std::size_t kControlEntries = 32;

  explicit SendQueue(std::size_t block_bytes) : capacity_(block_bytes) {}

  void SetCapacity(std::size_t block_bytes);
  std::size_t capacity() const;
  std::size_t Room() const;
  std::size_t QueuedBytes() const;  // blocks, with their bookkeeping
  bool PushBlock(DatagramBytes datagram);
  void Flush();  // wakes a sender that waits for blocks
  void PushControl(DatagramBytes datagram);
  std::size_t DroppedControl() const;

  // Sender side. Waits until a control datagram is queued (or any block, when blocks_too),
  // the deadline passes or Wake() is called.
  void WaitUntil(Clock::time_point deadline, bool blocks_too);
  void Wake();
  // Moves every waiting control datagram into out (in order).
  void TakeControl(std::vector<DatagramBytes>& out);
  // Moves blocks from the front into out, at most max of them, while admit(size of the
  // block) says yes. Returns how many were moved.
  std::size_t TakeBlocks(std::vector<DatagramBytes>& out, std::size_t max,
                         const std::function<bool(std::size_t)>& admit);
  // Size of the first block, 0 when none waits.
  std::size_t FrontBlockBytes() const;
  bool Empty() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  bool woken_ = false;
  enum class Waiting { kNot, kControl, kAnything };
  Waiting waiting_ = Waiting::kNot;  // what would end the sender's wait
  std::size_t capacity_;
  std::size_t queued_ = 0;
  std::size_t dropped_control_ = 0;
  std::deque<DatagramBytes> blocks_;
  std::deque<DatagramBytes> control_;
};

#pragma once
// The queue of received UPDATE_BLOCK datagrams between the receive thread (Append) and the
// window thread's paint handler (DrainBlocks). Oldest first. Each datagram sits in a buffer of
// its own size, and the queue is bounded in bytes: a stream faster than the painter drops the
// oldest blocks (a newer block of an area replaces an older one anyway), never the newest.
// The mutex is recursive so that Remove may be called inside a Lock/Unlock walk. A node owns
// its datagram (delete[]) until it is taken out.
#include <cstddef>
#include <cstdint>
#include <mutex>

struct BlockNode {
  uint8_t* datagram;
  std::size_t size;     // bytes of the datagram as received
  uint64_t serial;      // arrival number, counting from 1
  BlockNode* next;      // newer
  BlockNode* previous;  // older
};

class BlockQueue {
 public:
  // Several full photo-like refreshes at 1472-byte datagrams (about 6 MB each), so that a
  // paint that stalls for a second or two loses nothing; far below the 64 MiB that 1024
  // buffers of 64 KiB used to take.
  static constexpr std::size_t kCapacityBytes = 24u << 20;
  // What an entry costs besides its datagram: the node and two heap headers. Counted, so that
  // a flood of tiny datagrams is bounded too.
  static constexpr std::size_t kEntryOverhead = 64;
  static constexpr std::size_t Cost(std::size_t size) { return size + kEntryOverhead; }

  explicit BlockQueue(std::size_t capacity_bytes = kCapacityBytes) : capacity_(capacity_bytes) {}
  BlockQueue(const BlockQueue&) = delete;
  BlockQueue& operator=(const BlockQueue&) = delete;
  ~BlockQueue();  // frees the nodes still queued and their datagrams

  // Takes the datagram (size bytes, from new[]). Drops the oldest entries until it fits within
  // the capacity; a datagram that alone exceeds it is dropped itself. Returns the number of
  // blocks lost this way (0 when nothing was dropped).
  int Append(uint8_t* datagram, std::size_t size);
  // Unlinks and frees the node (not its datagram).
  void Remove(BlockNode* node);
  // Unlinks the oldest node if its serial is at most up_to and hands it over; nullptr
  // otherwise. The caller frees the datagram and the node (delete).
  BlockNode* TakeOldest(uint64_t up_to);
  void Lock() { mutex_.lock(); }
  void Unlock() { mutex_.unlock(); }

  // Under Lock only.
  BlockNode* first() const { return first_; }
  BlockNode* last() const { return last_; }
  int count() const { return count_; }
  std::size_t bytes() const { return bytes_; }  // sum of Cost() of the queued entries
  uint64_t dropped() const { return dropped_; }  // blocks lost to the bound since creation

 private:
  void Unlink(BlockNode* node);

  int count_ = 0;
  std::recursive_mutex mutex_;
  BlockNode* first_ = nullptr;
  BlockNode* last_ = nullptr;
  std::size_t bytes_ = 0;
  const std::size_t capacity_;
  uint64_t serial_ = 0;
  uint64_t dropped_ = 0;
};

// The paint handler's walk: takes every block that was queued when the walk began, oldest
// first, hands its datagram to draw (without the lock held) and then frees it. A block in the
// painter's hands has left the queue, so dropping the oldest never frees what is being drawn.
// Blocks appended meanwhile wait for the next paint, so a fast stream cannot hold the window
// thread in one paint for ever. Returns the number of blocks drawn.
template <class Draw>
int DrainBlocks(BlockQueue& queue, Draw&& draw) {
  queue.Lock();
  const uint64_t stop = queue.last() ? queue.last()->serial : 0;
  queue.Unlock();
  int drawn = 0;
  while (BlockNode* node = queue.TakeOldest(stop)) {
    draw(node->datagram);
    delete[] node->datagram;
    delete node;
    ++drawn;
  }
  return drawn;
}

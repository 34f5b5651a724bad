#pragma once
// The queue of received UPDATE_BLOCK datagrams between the receive thread (Append) and the
// window thread's paint handler (walk with Lock/Unlock, Remove). Oldest first. The mutex is
// recursive so that Remove may be called inside a Lock/Unlock walk. Nodes own nothing: the
// datagram buffer passes to whoever takes the node out.
#include <cstdint>
#include <mutex>

struct BlockNode {
  uint8_t* datagram;
  BlockNode* next;      // newer
  BlockNode* previous;  // older
};

class BlockQueue {
 public:
  // A stream faster than the painter must not grow memory without bound (64 KiB a datagram).
  static constexpr int kCapacity = 1024;

  BlockQueue() = default;
  BlockQueue(const BlockQueue&) = delete;
  BlockQueue& operator=(const BlockQueue&) = delete;
  ~BlockQueue();  // frees the nodes still queued and their datagrams (delete[])

  // False, with nothing changed, when the queue already holds kCapacity entries.
  bool Append(uint8_t* datagram);
  void Remove(BlockNode* node);
  void Lock() { mutex_.lock(); }
  void Unlock() { mutex_.unlock(); }

  // Under Lock only.
  BlockNode* first() const { return first_; }
  BlockNode* last() const { return last_; }
  int count() const { return count_; }

 private:
  int count_ = 0;
  std::recursive_mutex mutex_;
  BlockNode* first_ = nullptr;
  BlockNode* last_ = nullptr;
};

// The paint handler's walk: takes every node that was queued when the walk began, oldest
// first, hands its datagram to draw (without the lock held) and then frees the datagram.
// Blocks appended meanwhile wait for the next paint, so a fast stream cannot hold the window
// thread in one paint for ever. Returns the number of blocks drawn.
template <class Draw>
int DrainBlocks(BlockQueue& queue, Draw&& draw) {
  int drawn = 0;
  queue.Lock();
  BlockNode* node = queue.first();
  BlockNode* const stop = queue.last();
  while (node) {
    queue.Unlock();
    draw(node->datagram);
    delete[] node->datagram;
    ++drawn;
    queue.Lock();
    BlockNode* next = node == stop ? nullptr : node->next;
    queue.Remove(node);
    node = next;
  }
  queue.Unlock();
  return drawn;
}

#include "glimt/BlockQueue.h"

BlockQueue::~BlockQueue() {
  while (first_) {
    BlockNode* node = first_;
    first_ = node->next;
    delete[] node->datagram;
    delete node;
  }
}

int BlockQueue::Append(uint8_t* datagram, std::size_t size) {
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  const std::size_t cost = Cost(size);
  ++serial_;
  if (cost > capacity_) {
    delete[] datagram;
    ++dropped_;
    return 1;
  }
  int lost = 0;
  while (bytes_ + cost > capacity_) {
    BlockNode* oldest = first_;
    Unlink(oldest);
    delete[] oldest->datagram;
    delete oldest;
    ++lost;
  }
  dropped_ += static_cast<uint64_t>(lost);
  BlockNode* node = new BlockNode{datagram, size, serial_, nullptr, last_};
  ++count_;
  bytes_ += cost;
  if (last_) last_->next = node;
  last_ = node;
  if (!first_) first_ = node;
  return lost;
}

void BlockQueue::Unlink(BlockNode* node) {
  if (node == first_) first_ = node->next;
  if (node == last_) last_ = node->previous;
  if (node->previous) node->previous->next = node->next;
  if (node->next) node->next->previous = node->previous;
  --count_;
  bytes_ -= Cost(node->size);
}

void BlockQueue::Remove(BlockNode* node) {
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  Unlink(node);
  delete node;
}

BlockNode* BlockQueue::TakeOldest(uint64_t up_to) {
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  BlockNode* node = first_;
  if (!node || node->serial > up_to) return nullptr;
  Unlink(node);
  node->next = node->previous = nullptr;
  return node;
}

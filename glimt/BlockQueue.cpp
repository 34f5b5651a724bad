#include "glimt/BlockQueue.h"

BlockQueue::~BlockQueue() {
  while (first_) {
    BlockNode* node = first_;
    first_ = node->next;
    delete[] node->datagram;
    delete node;
  }
}

bool BlockQueue::Append(uint8_t* datagram) {
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  if (count_ >= kCapacity) return false;
  BlockNode* node = new BlockNode{datagram, nullptr, last_};
  ++count_;
  if (last_) last_->next = node;
  last_ = node;
  if (!first_) first_ = node;
  return true;
}

void BlockQueue::Remove(BlockNode* node) {
  std::lock_guard<std::recursive_mutex> hold(mutex_);
  if (node == first_) first_ = node->next;
  if (node == last_) last_ = node->previous;
  if (node->previous) node->previous->next = node->next;
  if (node->next) node->next->previous = node->previous;
  --count_;
  delete node;
}

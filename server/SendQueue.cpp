#include "server/SendQueue.h"

namespace {
std::size_t Cost(const DatagramBytes& d) { return d.size() + SendQueue::kEntryBytes; }
}  // namespace

void SendQueue::SetCapacity(std::size_t block_bytes) {
  std::lock_guard<std::mutex> hold(mutex_);
  capacity_ = block_bytes;
}

std::size_t SendQueue::capacity() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return capacity_;
}

std::size_t SendQueue::Room() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return queued_ < capacity_ ? capacity_ - queued_ : 0;
}

std::size_t SendQueue::QueuedBytes() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return queued_;
}

// Blocks wake the sender only at Flush: waking it for every block would have the two threads
// take turns on two busy cores, a sending thread or one that waits for tokens finds new
// blocks anyway.
bool SendQueue::PushBlock(DatagramBytes datagram) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (queued_ + Cost(datagram) > capacity_) return false;
  queued_ += Cost(datagram);
  blocks_.push_back(std::move(datagram));
  return true;
}

void SendQueue::Flush() {
  bool wake;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    wake = waiting_ == Waiting::kAnything && !blocks_.empty();
    if (wake) waiting_ = Waiting::kNot;
  }
  if (wake) ready_.notify_one();
}

void SendQueue::PushControl(DatagramBytes datagram) {
  bool wake;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (control_.size() >= kControlEntries) {
      control_.pop_front();
      ++dropped_control_;
    }
    control_.push_back(std::move(datagram));
    wake = waiting_ != Waiting::kNot;
    if (wake) waiting_ = Waiting::kNot;
  }
  if (wake) ready_.notify_one();
}

std::size_t SendQueue::DroppedControl() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return dropped_control_;
}

void SendQueue::WaitUntil(Clock::time_point deadline, bool blocks_too) {
  std::unique_lock<std::mutex> hold(mutex_);
  waiting_ = blocks_too ? Waiting::kAnything : Waiting::kControl;
  ready_.wait_until(hold, deadline, [&] {
    return woken_ || !control_.empty() || (blocks_too && !blocks_.empty());
  });
  waiting_ = Waiting::kNot;
  woken_ = false;
}

void SendQueue::Wake() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    woken_ = true;
  }
  ready_.notify_all();
}

void SendQueue::TakeControl(std::vector<DatagramBytes>& out) {
  std::lock_guard<std::mutex> hold(mutex_);
  while (!control_.empty()) {
    out.push_back(std::move(control_.front()));
    control_.pop_front();
  }
}

std::size_t SendQueue::TakeBlocks(std::vector<DatagramBytes>& out, std::size_t max,
                                  const std::function<bool(std::size_t)>& admit) {
  std::lock_guard<std::mutex> hold(mutex_);
  std::size_t moved = 0;
  while (moved < max && !blocks_.empty() && admit(blocks_.front().size())) {
    queued_ -= Cost(blocks_.front());
    out.push_back(std::move(blocks_.front()));
    blocks_.pop_front();
    ++moved;
  }
  return moved;
}

std::size_t SendQueue::FrontBlockBytes() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return blocks_.empty() ? 0 : blocks_.front().size();
}

bool SendQueue::Empty() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return blocks_.empty() && control_.empty();
}

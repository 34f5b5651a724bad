#include "server/SendQueue.h"

void SendQueue::PushControl(DatagramBytes datagram) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (control_.size() >= kControlEntries) {
      control_.pop_front();
      ++dropped_control_;
    }
    control_.push_back(std::move(datagram));
  }
  ready_.notify_one();
}

std::size_t SendQueue::DroppedControl() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return dropped_control_;
}

void SendQueue::WaitUntil(Clock::time_point deadline) {
  std::unique_lock<std::mutex> hold(mutex_);
  ready_.wait_until(hold, deadline, [&] { return woken_ || !control_.empty(); });
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

bool SendQueue::Empty() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return control_.empty();
}

#include "server/DatagramList.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>

namespace {
std::atomic<std::size_t> g_growths{0};
}  // namespace

GrowBuffer::~GrowBuffer() { free(data); }

bool GrowBuffer::Reserve(std::size_t bytes) {
  if (bytes <= size) return true;
  void* p = realloc(data, bytes);
  if (!p) return false;
  data = static_cast<uint8_t*>(p);
  size = bytes;
  g_growths.fetch_add(1, std::memory_order_relaxed);
  return true;
}

std::size_t GrowBuffer::Growths() { return g_growths.load(std::memory_order_relaxed); }

void DatagramList::Clear(std::size_t spare) {
  used_ = count_ = 0;
  spare_ = spare;
  dropped_.clear();
}

uint8_t* DatagramList::Begin(std::size_t max) {
  const std::size_t need = used_ + max + spare_;
  // Grow by at least half again, so that a job's many datagrams cost few growths.
  if (need > bytes_.size && !bytes_.Reserve(std::max(need, bytes_.size + bytes_.size / 2)))
    return nullptr;
  return bytes_.data + used_;
}

void DatagramList::Commit(std::size_t bytes) {
  used_ += bytes + spare_;
  if (count_ == ends_.size()) ends_.push_back(used_);
  else ends_[count_] = used_;
  ++count_;
}

void DatagramList::Drop(const Rect& r) { dropped_.push_back(r); }

#include "server/CompressPool.h"

#include <algorithm>
#include <cstring>

#include "server/Pacer.h"

namespace {
// Job descriptors ready before the first tick; a tick with more pending grows the ring once.
constexpr std::size_t kFirstJobs = 256;
}  // namespace

CompressPool::CompressPool(const CutterFactory& make_cutter, int workers, int window) {
  if (workers <= 0) workers = static_cast<int>(std::thread::hardware_concurrency());
  if (workers <= 0) workers = 1;
  if (window <= 0) window = 2 * workers;
  jobs_.resize(kFirstJobs);
  slots_ = std::vector<Slot>(static_cast<std::size_t>(window));
  workers_ = std::vector<Worker>(static_cast<std::size_t>(workers));
  for (Worker& w : workers_) w.cutter = make_cutter();
  threads_.reserve(workers_.size());
  for (Worker& w : workers_) threads_.emplace_back([this, &w] { Run(w); });
}

CompressPool::~CompressPool() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stop_ = true;
  }
  work_cv_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void CompressPool::Submit(const CompressJob* jobs, std::size_t n) {
  if (n == 0) return;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    while (submitted_ - claimed_ + n > jobs_.size()) {
      // Full: double the ring, keeping each pending job at its sequence number's place.
      std::vector<CompressJob> bigger(jobs_.size() * 2);
      for (uint64_t i = claimed_; i < submitted_; ++i) bigger[i % bigger.size()] = jobs_[i % jobs_.size()];
      jobs_.swap(bigger);
    }
    for (std::size_t k = 0; k < n; ++k) jobs_[(submitted_ + k) % jobs_.size()] = jobs[k];
    submitted_ += n;
  }
  if (n < workers_.size()) work_cv_.notify_one();
  else work_cv_.notify_all();
}

void CompressPool::SetReadyHook(void (*hook)(void*), void* context) {
  std::lock_guard<std::mutex> hold(mutex_);
  ready_hook_ = hook;
  ready_context_ = context;
}

void CompressPool::RemoveReadyHook(void* context) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (ready_context_ != context) return;
  ready_hook_ = nullptr;
  ready_context_ = nullptr;
}

std::size_t CompressPool::Pending() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return static_cast<std::size_t>(submitted_ - released_);
}

uint64_t CompressPool::Submitted() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return submitted_;
}

bool CompressPool::ReleasedUpTo(uint64_t n) const {
  std::lock_guard<std::mutex> hold(mutex_);
  return released_ >= n;
}

void CompressPool::TakeDropped(std::vector<Rect>& out) {
  std::lock_guard<std::mutex> hold(mutex_);
  out.insert(out.end(), dropped_.begin(), dropped_.end());
  dropped_.clear();
}

CompressPool::Released CompressPool::ReleasedOf(uint32_t tag) const {
  std::lock_guard<std::mutex> hold(mutex_);
  return tag < kTags ? released_by_tag_[tag] : Released{};
}

double CompressPool::WorkSeconds() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return static_cast<double>(work_ns_) * 1e-9;
}

std::size_t CompressPool::Ready(Result* out, std::size_t max, std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> hold(mutex_);
  const auto head_done = [&] {
    return released_ < submitted_ && slots_[released_ % slots_.size()].done;
  };
  if (max == 0 || !done_cv_.wait_for(hold, wait, head_done)) return 0;
  std::size_t n = 0;
  for (uint64_t i = released_; n < max && n < slots_.size() && i < submitted_; ++i, ++n) {
    Slot& slot = slots_[i % slots_.size()];
    if (!slot.done) break;
    slot.result = Result{&slot.job, &slot.datagrams};
    out[n] = slot.result;
  }
  return n;
}

const CompressPool::Result* CompressPool::Next(std::chrono::milliseconds wait) {
  Result r;
  if (Ready(&r, 1, wait) == 0) return nullptr;
  std::lock_guard<std::mutex> hold(mutex_);
  return &slots_[released_ % slots_.size()].result;  // kept until released
}

void CompressPool::Release(std::size_t n) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    for (; n > 0 && released_ < submitted_; --n) {
      Slot& head = slots_[released_ % slots_.size()];
      if (!head.done) break;  // nothing was taken
      const DatagramList& d = head.datagrams;
      dropped_.insert(dropped_.end(), d.dropped().begin(), d.dropped().end());
      if (head.job.tag < kTags) {
        Released& r = released_by_tag_[head.job.tag];
        r.datagrams += d.Count();
        r.bytes += d.Bytes();
        for (std::size_t i = 0; i < d.Count(); ++i) r.wire += WireBytes(d.Length(i) + d.Spare());
      }
      head.done = false;
      ++released_;
    }
  }
  // Slots came free: a worker waiting for room may take the next jobs.
  work_cv_.notify_all();
}

void CompressPool::Run(Worker& w) {
  std::unique_lock<std::mutex> hold(mutex_);
  for (;;) {
    // A job, and a free slot for it: results never run more than the window ahead.
    work_cv_.wait(hold, [&] { return stop_ || (claimed_ < submitted_ && claimed_ < released_ + slots_.size()); });
    if (stop_) return;
    const uint64_t i = claimed_++;
    Slot& slot = slots_[i % slots_.size()];
    slot.job = jobs_[i % jobs_.size()];
    // More work may be claimable: pass the wake-up on instead of leaving it to Submit.
    if (claimed_ < submitted_ && claimed_ < released_ + slots_.size()) work_cv_.notify_one();
    hold.unlock();
    const auto t0 = std::chrono::steady_clock::now();
    Work(w, slot);
    const auto spent = std::chrono::steady_clock::now() - t0;
    hold.lock();
    work_ns_ += static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(spent).count());
    slot.done = true;
    if (i == released_) {
      done_cv_.notify_one();
      // Under the lock: once SetReadyHook has taken the hook away, it is never called again.
      if (ready_hook_) ready_hook_(ready_context_);
    }
  }
}

void CompressPool::Work(Worker& w, Slot& slot) {
  DatagramList& out = slot.datagrams;
  const CompressJob& job = slot.job;
  out.Clear(job.spare);
  if (job.kind == CompressJob::kVerbatim) {
    if (uint8_t* d = out.Begin(kUpdateHeaderBytes)) {
      memcpy(d, job.verbatim, kUpdateHeaderBytes);
      out.Commit(kUpdateHeaderBytes);
    }
    return;
  }
  const Rect& r = job.rect;
  if (r.IsEmpty()) return;
  if (!w.compressor || w.compressor->level() != job.level)
    w.compressor = std::make_unique<Compressor>(job.level);  // a level change: rare
  // Without a compressor every piece would fail down to single pixels: drop the block whole.
  if (!job.pixels || (job.bpp != 8 && job.bpp != 16 && job.bpp != 24 && job.bpp != 32) ||
      !w.compressor->ok() || !w.cutter) {
    out.Drop(r);
    return;
  }
  w.cutter->Cut(*w.compressor, job, out);
}

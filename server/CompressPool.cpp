#include "server/CompressPool.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {
std::atomic<std::size_t> g_growths{0};
// Job descriptors ready before the first tick; a tick with more pending grows the ring once.
constexpr std::size_t kFirstJobs = 256;
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

uint8_t* DatagramList::Begin(std::size_t max) {
  // Grow by at least half again, so that a job's many datagrams cost few growths.
  if (used_ + max > bytes_.size && !bytes_.Reserve(std::max(used_ + max, bytes_.size + bytes_.size / 2)))
    return nullptr;
  return bytes_.data + used_;
}

void DatagramList::Commit(std::size_t bytes) {
  used_ += bytes;
  if (count_ == ends_.size()) ends_.push_back(used_);
  else ends_[count_] = used_;
  ++count_;
}

void DatagramList::Drop(const Rect& r) { dropped_.push_back(r); }

void DatagramList::Clear() {
  used_ = count_ = 0;
  dropped_.clear();
}

bool HalvingCutter::Emit(Compressor& c, const Rect& r, const uint8_t* rows, std::size_t n,
                         DatagramList& out) {
  uint8_t* d = max_ > kUpdateHeaderBytes ? out.Begin(max_) : nullptr;
  if (!d) {
    out.Drop(r);
    return true;
  }
  const std::size_t size = c.Compress(rows, n, d + kUpdateHeaderBytes, max_ - kUpdateHeaderBytes);
  if (size == 0) return false;
  EncodeUpdateHeader(UpdateHeader{UPDATE_BLOCK, static_cast<uint16_t>(size), r.left, r.top,
                                  r.right, r.bottom}, d);
  out.Commit(kUpdateHeaderBytes + size);
  return true;
}

void HalvingCutter::Cut(Compressor& c, const Rect& r, const uint8_t* rows, std::size_t scan,
                        int bpp, DatagramList& out) {
  const int64_t h = r.Height();
  if (h <= 0 || r.Width() <= 0) return;
  if (Emit(c, r, rows, scan * static_cast<std::size_t>(h), out)) return;
  if (h == 1) {
    CutRow(c, r, rows, bpp, out);
    return;
  }
  const int32_t mid = static_cast<int32_t>(r.top + h / 2);
  Cut(c, Rect{r.left, r.top, r.right, mid}, rows, scan, bpp, out);
  Cut(c, Rect{r.left, mid, r.right, r.bottom}, rows + static_cast<std::size_t>(mid - r.top) * scan,
      scan, bpp, out);
}

void HalvingCutter::CutRow(Compressor& c, const Rect& r, const uint8_t* row, int bpp,
                           DatagramList& out) {
  const int64_t w = r.Width();
  if (w <= 1) {
    out.Drop(r);  // not even one pixel fits (a datagram limit below any sane value)
    return;
  }
  const int32_t mid = static_cast<int32_t>(r.left + w / 2);
  const std::size_t pixel = static_cast<std::size_t>(bpp / 8);
  for (const Rect& half : {Rect{r.left, r.top, mid, r.bottom}, Rect{mid, r.top, r.right, r.bottom}}) {
    // Each half is packed to its own scan line (its filler byte zero); the source is always
    // the caller's row, so the recursion may reuse the buffer.
    const uint8_t* src = row + static_cast<std::size_t>(half.left - r.left) * pixel;
    const std::size_t used = static_cast<std::size_t>(half.Width()) * pixel;
    const std::size_t hs = static_cast<std::size_t>(ScanLineBytes(half.Width(), bpp));
    if (!columns_.Reserve(hs)) {
      out.Drop(half);
      continue;
    }
    memcpy(columns_.data, src, used);
    memset(columns_.data + used, 0, hs - used);
    if (!Emit(c, half, columns_.data, hs, out)) CutRow(c, half, src, bpp, out);
  }
}

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

void CompressPool::Submit(const CompressJob& job) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (submitted_ - claimed_ == jobs_.size()) {
      // Full: double the ring, keeping each pending job at its sequence number's place.
      std::vector<CompressJob> bigger(jobs_.size() * 2);
      for (uint64_t i = claimed_; i < submitted_; ++i) bigger[i % bigger.size()] = jobs_[i % jobs_.size()];
      jobs_.swap(bigger);
    }
    jobs_[submitted_ % jobs_.size()] = job;
    ++submitted_;
  }
  work_cv_.notify_one();
}

const CompressPool::Result* CompressPool::Next(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> hold(mutex_);
  Slot& head = slots_[released_ % slots_.size()];
  if (!done_cv_.wait_for(hold, wait, [&] { return released_ < submitted_ && head.done; }))
    return nullptr;
  head.result = Result{&head.job, &head.datagrams};
  return &head.result;
}

void CompressPool::Release() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    Slot& head = slots_[released_ % slots_.size()];
    if (released_ == submitted_ || !head.done) return;  // nothing was taken
    head.done = false;
    ++released_;
  }
  // A slot came free: a worker waiting for room may take the next job.
  work_cv_.notify_one();
}

std::size_t CompressPool::Pending() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return static_cast<std::size_t>(submitted_ - released_);
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
    Work(w, slot);
    hold.lock();
    slot.done = true;
    if (i == released_) done_cv_.notify_one();
  }
}

void CompressPool::Work(Worker& w, Slot& slot) {
  DatagramList& out = slot.datagrams;
  const CompressJob& job = slot.job;
  out.Clear();
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
  const std::size_t scan = static_cast<std::size_t>(ScanLineBytes(r.Width(), job.bpp));
  const std::size_t used = static_cast<std::size_t>(r.Width()) * static_cast<std::size_t>(job.bpp / 8);
  const uint8_t* rows = job.pixels;
  // Rows already laid out as the datagram wants them (a full-width capture) go as they are;
  // others are repacked: rows at the block's own scan line, filler bytes zero.
  if (job.stride != scan || used != scan) {
    const std::size_t h = static_cast<std::size_t>(r.Height());
    if (!w.rows.Reserve(scan * h)) {
      out.Drop(r);
      return;
    }
    for (std::size_t y = 0; y < h; ++y) {
      memcpy(w.rows.data + y * scan, job.pixels + y * job.stride, used);
      memset(w.rows.data + y * scan + used, 0, scan - used);
    }
    rows = w.rows.data;
  }
  w.cutter->Cut(*w.compressor, r, rows, scan, job.bpp, out);
}

#pragma once
// Compresses the blocks of a tick on a small fixed pool of worker threads, one a core, each
// with its own Compressor, cutter and scratch buffers, and hands the datagrams back strictly
// in the order the jobs were submitted. One thread submits, one thread (the same or another)
// takes the results; because everything comes back in submission order, an UPDATE_AREA
// submitted before its refresh's blocks goes out before them, and no block of a tick goes
// out after a block of a later tick. Results are kept ready at most `window` jobs ahead of
// the consumer, which bounds their memory however slowly the consumer sends.
// In the steady state nothing is allocated per job: every buffer keeps its high-water size.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Common/UpdateHeader.h"
#include "platform/Rect.h"
#include "server/Compressor.h"

// A byte buffer that only grows (realloc: no zero fill). Growth is counted for the tests.
struct GrowBuffer {
  uint8_t* data = nullptr;
  std::size_t size = 0;
  GrowBuffer() = default;
  ~GrowBuffer();
  GrowBuffer(const GrowBuffer&) = delete;
  GrowBuffer& operator=(const GrowBuffer&) = delete;
  // False (buffer unchanged) when the memory cannot be had.
  bool Reserve(std::size_t bytes);
  static std::size_t Growths();  // process-wide count of successful growths
};

// The datagrams of one job, end to end in one buffer, and the rectangles it had to drop.
class DatagramList {
 public:
  // Room for one datagram of at most max bytes, or nullptr. Finish it with Commit.
  uint8_t* Begin(std::size_t max);
  void Commit(std::size_t bytes);
  // A rectangle that could not be sent (compression failed, or no memory).
  void Drop(const Rect& r);
  void Clear();

  std::size_t Count() const { return count_; }
  const uint8_t* Data(std::size_t i) const { return bytes_.data + (i ? ends_[i - 1] : 0); }
  std::size_t Length(std::size_t i) const { return ends_[i] - (i ? ends_[i - 1] : 0); }
  std::size_t Bytes() const { return used_; }
  const std::vector<Rect>& dropped() const { return dropped_; }

 private:
  GrowBuffer bytes_;
  std::size_t used_ = 0, count_ = 0;
  std::vector<std::size_t> ends_;  // keeps its capacity across Clear
  std::vector<Rect> dropped_;
};

struct CompressJob {
  enum Kind : uint8_t { kBlock, kVerbatim };
  Kind kind = kBlock;
  // kBlock: the block's screen rectangle, its first pixel and the distance between its rows.
  // The pixels belong to the caller, who keeps them unchanged until the job is released.
  Rect rect;
  const uint8_t* pixels = nullptr;
  std::size_t stride = 0;
  int bpp = 32;
  int level = 1;  // CompressionLevel, -1..9
  // kVerbatim: a datagram that goes out as it is, in its place in the order (UPDATE_AREA).
  uint8_t verbatim[kUpdateHeaderBytes] = {};
  uint32_t tag = 0;  // the caller's own (a tick number, say); handed back unchanged
};

// Turns one block into datagrams. rows: the block's H rows of scan = ScanLineBytes(W, bpp)
// bytes, contiguous, filler bytes zero. Runs on a worker thread; each worker has its own.
class BlockCutter {
 public:
  virtual ~BlockCutter() = default;
  virtual void Cut(Compressor& c, const Rect& r, const uint8_t* rows, std::size_t scan,
                   int bpp, DatagramList& out) = 0;
};

// Cuts a block into UPDATE_BLOCK datagrams of at most max_datagram bytes: the whole block
// when it fits, else halves of its rows, and halves of its columns for a single row. The
// benchmark's floor and the tests use it; the sampler brings its own predicting cutter.
class HalvingCutter : public BlockCutter {
 public:
  // Above 65507 bytes a payload's length no longer fits the header: the limit is capped there.
  explicit HalvingCutter(std::size_t max_datagram = kMaxDatagramBytes)
      : max_(std::min(max_datagram, kMaxDatagramBytes)) {}
  void Cut(Compressor& c, const Rect& r, const uint8_t* rows, std::size_t scan, int bpp,
           DatagramList& out) override;

 private:
  // Compresses and commits one datagram: false when it does not fit (nothing committed).
  bool Emit(Compressor& c, const Rect& r, const uint8_t* rows, std::size_t n, DatagramList& out);
  // One row (row: its first pixel) that does not fit: halves of its columns.
  void CutRow(Compressor& c, const Rect& r, const uint8_t* row, int bpp, DatagramList& out);

  std::size_t max_;
  GrowBuffer columns_;
};

class CompressPool {
 public:
  struct Result {
    const CompressJob* job;
    const DatagramList* datagrams;
  };
  using CutterFactory = std::function<std::unique_ptr<BlockCutter>()>;

  // workers 0: one a core (at least 1); window 0: two a worker. make_cutter is called once
  // per worker, on the constructing thread.
  explicit CompressPool(const CutterFactory& make_cutter, int workers = 0, int window = 0);
  // Stops the workers; jobs not yet done are dropped.
  ~CompressPool();
  CompressPool(const CompressPool&) = delete;
  CompressPool& operator=(const CompressPool&) = delete;

  int workers() const { return static_cast<int>(threads_.size()); }
  int window() const { return static_cast<int>(slots_.size()); }

  // Producer. Never waits for the workers; the job list grows only when more jobs are pending
  // than ever before.
  void Submit(const CompressJob& job);
  // Consumer. The oldest job not yet released once it is done, waiting for it at most wait;
  // nullptr when there is none or it is not done by then. Valid until Release.
  const Result* Next(std::chrono::milliseconds wait);
  // The result Next gave is sent: its slot, and the pixels its job named, are free again.
  void Release();
  // Jobs submitted and not yet released: 0 when every pixel buffer handed in is free.
  std::size_t Pending() const;

 private:
  struct Slot {
    CompressJob job;
    DatagramList datagrams;
    Result result{};
    bool done = false;
  };
  struct Worker {
    std::unique_ptr<BlockCutter> cutter;
    std::unique_ptr<Compressor> compressor;
    GrowBuffer rows;  // a block repacked to contiguous rows
  };
  void Run(Worker& w);
  void Work(Worker& w, Slot& slot);

  mutable std::mutex mutex_;
  std::condition_variable work_cv_, done_cv_;
  std::vector<CompressJob> jobs_;  // ring of pending jobs, indexed by sequence % size
  std::vector<Slot> slots_;        // job i's result lives in slot i % window
  std::vector<Worker> workers_;
  std::vector<std::thread> threads_;
  uint64_t submitted_ = 0, claimed_ = 0, released_ = 0;
  bool stop_ = false;
};

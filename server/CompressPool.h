#pragma once
// Compresses the blocks of a tick on a small fixed pool of worker threads, one a core, each
// with its own Compressor and cutter, and hands the datagrams back strictly in the order the
// jobs were submitted. One thread submits (the sampler), one thread takes the results (the
// sender); because everything comes back in submission order, an UPDATE_AREA submitted before
// its refresh's blocks goes out before them, and no block of a tick goes out after a block of
// a later tick. Results are kept ready at most `window` jobs ahead of the consumer, which
// bounds their memory however slowly the consumer sends. In the steady state nothing is
// allocated per job: every buffer keeps its high-water size.
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
#include "server/DatagramList.h"

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
  std::size_t max_datagram = kMaxDatagramBytes;  // the largest datagram, header included
  std::size_t spare = 0;     // bytes kept free after each datagram: the sealer's trailer
  bool new_content = false;  // the first strip of a rectangle: worth trying whole
  // kVerbatim: a datagram that goes out as it is, in its place in the order (UPDATE_AREA).
  uint8_t verbatim[kUpdateHeaderBytes] = {};
  uint32_t tag = 0;  // the caller's; wire bytes of released jobs are counted by tag (0..3)
};

// Turns one block into datagrams within job.max_datagram, each Begin/Commit of out;
// rectangles it cannot send go to out.Drop. Runs on a worker thread; each worker has its own.
class BlockCutter {
 public:
  virtual ~BlockCutter() = default;
  virtual void Cut(Compressor& c, const CompressJob& job, DatagramList& out) = 0;
};

class CompressPool {
 public:
  struct Result {
    const CompressJob* job = nullptr;
    DatagramList* datagrams = nullptr;  // the consumer may seal them in place
  };
  using CutterFactory = std::function<std::unique_ptr<BlockCutter>()>;
  static constexpr int kTags = 4;

  // workers 0: one a core (at least 1); window 0: two a worker. make_cutter is called once
  // per worker, on the constructing thread; the workers inherit its priority.
  explicit CompressPool(const CutterFactory& make_cutter, int workers = 0, int window = 0);
  // Stops the workers; jobs not yet done are dropped.
  ~CompressPool();
  CompressPool(const CompressPool&) = delete;
  CompressPool& operator=(const CompressPool&) = delete;

  int workers() const { return static_cast<int>(threads_.size()); }
  int window() const { return static_cast<int>(slots_.size()); }
  // The cutter of worker i, for statistics; it is the worker's own while jobs are pending.
  BlockCutter* cutter(int i) const { return workers_[static_cast<std::size_t>(i)].cutter.get(); }

  // hook(context) is called by a worker when the oldest job not yet released is done, so that
  // a consumer waiting on something else of its own can be woken. It runs under the pool's
  // lock: quick, and taking no lock that is ever held while calling into the pool. Any
  // thread; nullptr: none, from the moment this returns.
  void SetReadyHook(void (*hook)(void*), void* context);
  // Takes the hook away if context is still its context (a consumer leaving).
  void RemoveReadyHook(void* context);

  // Producer. Never waits for the workers; the job list grows only when more jobs are pending
  // than ever before. Several at once cost one lock and one round of wake-ups.
  void Submit(const CompressJob& job) { Submit(&job, 1); }
  void Submit(const CompressJob* jobs, std::size_t n);
  // Jobs submitted and not yet released: 0 when every pixel buffer handed in is free.
  std::size_t Pending() const;
  // Jobs submitted so far; and whether the first n of them are released (the pixels they
  // named are free).
  uint64_t Submitted() const;
  bool ReleasedUpTo(uint64_t n) const;
  // Moves the rectangles dropped by the jobs released so far into out (appended).
  void TakeDropped(std::vector<Rect>& out);
  // What the released jobs of tag made, since the pool began: datagrams, their bytes, and
  // their bytes on an Ethernet link (WireBytes of each datagram with its spare).
  struct Released {
    uint64_t datagrams = 0, bytes = 0, wire = 0;
  };
  Released ReleasedOf(uint32_t tag) const;
  // Time the workers spent on jobs since the pool began, added up.
  double WorkSeconds() const;

  // Consumer. The results done, in order from the oldest not yet released, at most max of them
  // into out; waits at most wait for the oldest. Each stays valid until released.
  std::size_t Ready(Result* out, std::size_t max, std::chrono::milliseconds wait);
  // The oldest result (Ready for one); nullptr when there is none or it is not done by then.
  const Result* Next(std::chrono::milliseconds wait);
  // The n oldest results are sent: their slots, and the pixels their jobs named, are free.
  void Release(std::size_t n = 1);

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
  };
  void Run(Worker& w);
  void Work(Worker& w, Slot& slot);

  mutable std::mutex mutex_;
  std::condition_variable work_cv_, done_cv_;
  std::vector<CompressJob> jobs_;  // ring of pending jobs, indexed by sequence % size
  std::vector<Slot> slots_;        // job i's result lives in slot i % window
  std::vector<Worker> workers_;
  std::vector<std::thread> threads_;
  void (*ready_hook_)(void*) = nullptr;
  void* ready_context_ = nullptr;
  uint64_t submitted_ = 0, claimed_ = 0, released_ = 0;
  std::vector<Rect> dropped_;
  Released released_by_tag_[kTags];
  uint64_t work_ns_ = 0;
  bool stop_ = false;
};

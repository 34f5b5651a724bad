#pragma once
// The sending stage: a thread of its own sends pointer and area datagrams first, then the
// compression pool's results in their order, paces blocks with a token bucket at MaxRate,
// seals every datagram where it lies just before it goes (when a sealer is set) and sends in
// batches of up to 64 datagrams a system call, straight from the pool's result buffers. The
// main thread only queues, so pacing never holds up the tray, the dialog or the timers.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "Common/FailureThrottle.h"
#include "Common/StreamKey.h"  // DatagramSealer
#include "Common/UpdateHeader.h"
#include "server/CompressPool.h"
#include "server/Pacer.h"
#include "server/SendQueue.h"

// One datagram of a batch, where it lies: size bytes, and room bytes there in all (what a
// sealer may grow it to).
struct DatagramRef {
  uint8_t* data;
  std::size_t size, room;
};

// Puts datagrams on the wire. Called by the sender thread only.
class DatagramTransport {
 public:
  virtual ~DatagramTransport() = default;
  // Sends batch[0..count) in order, in as few system calls as the platform allows. Returns
  // how many went before the first that failed (its errno in *error); count when none failed.
  virtual std::size_t Send(const DatagramRef* batch, std::size_t count, int* error) = 0;
};

class Sender : public DatagramOutput {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::size_t kBatch = 64;  // datagrams per system call at most

  // The transport is used by the sender thread only and must outlive the Sender.
  explicit Sender(DatagramTransport* transport);
  ~Sender() override;  // stops and joins the thread

  bool Start();
  void Stop();

  // MaxRate in kbit/s (0: unpaced) and MaxDatagram in bytes, from any thread.
  void Configure(uint32_t max_rate_kbit, std::size_t max_datagram);
  uint64_t rate_bytes() const;  // MaxRate in force, bytes a second
  // Any time, from any thread; the sampler's budget shrinks by its trailer from its next
  // tick. The sealer must outlive the Sender and is called by the sender thread only, in
  // send order; a datagram it refuses (Seal gives 0) is dropped. nullptr: none.
  void SetSealer(DatagramSealer* sealer);

  // Where blocks come from: pool's results, in its order. Any thread; nullptr: none. Once it
  // returns, the sender thread no longer touches the pool it had (it may wait for a batch on
  // its way); the pool must outlive that.
  void SetSource(CompressPool* pool);

  // DatagramOutput (the sampler's side).
  void PushControl(DatagramBytes datagram) override { queue_.PushControl(std::move(datagram)); }
  std::size_t TrailerBytes() override {
    DatagramSealer* sealer = sealer_.load();
    return sealer ? sealer->TrailerBytes() : 0;
  }

  // Nothing queued, no job pending in the source and no batch on its way.
  bool Drained() const;
  const SendQueue& queue() const { return queue_; }

  struct Counters {
    uint64_t datagrams = 0, wire_bytes = 0, batches = 0, failures = 0;
    Clock::time_point last_batch{};  // when the last batch had gone (or was refused)
  };
  Counters counters() const;

 private:
  void Run();
  // Pool results at the head of the order whose datagrams may go now, into batch; how many
  // results it took whole (*partly: datagrams of the next one it took).
  std::size_t TakeBlocks(CompressPool* pool, std::size_t trailer, Clock::time_point now,
                         std::vector<DatagramRef>& batch, std::size_t* need);
  void SendBatch(std::vector<DatagramRef>& batch);

  DatagramTransport* transport_;
  std::atomic<DatagramSealer*> sealer_{nullptr};
  std::atomic<CompressPool*> source_{nullptr};
  // Held by the sender thread while it uses the source, and by SetSource.
  std::mutex source_mutex_;
  std::size_t sent_of_head_ = 0;  // datagrams of the source's oldest result already sent
  SendQueue queue_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> busy_{false};

  mutable std::mutex config_mutex_;
  bool config_changed_ = true;
  uint64_t rate_bytes_ = 0;
  std::size_t max_datagram_ = kMaxDatagramBytes;

  TokenBucket bucket_;  // sender thread only
  std::atomic<uint64_t> datagrams_{0}, wire_bytes_{0}, batches_{0}, failures_{0};
  std::atomic<Clock::rep> last_batch_{0};
  // Failed datagrams: the first reported in full, then one counted line a second at most.
  FailureThrottle failure_log_;
};

// The server's sender on g_multicast_sock to g_group:g_port, started once by start-up and
// never ended. False when its thread cannot be started.
bool StartServerSender();
Sender* ServerSender();  // nullptr before StartServerSender

#pragma once
// The sending stage: a thread of its own drains the hand-over queue, pointer and area
// datagrams first, paces blocks with a token bucket at MaxRate, seals every datagram just
// before it goes (when a sealer is set) and sends in batches. The main thread only queues, so
// pacing never holds up the tray, the dialog or the timers.
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
#include "server/Pacer.h"
#include "server/SendQueue.h"

// Puts datagrams on the wire. Called by the sender thread only.
class DatagramTransport {
 public:
  virtual ~DatagramTransport() = default;
  // Sends batch[first..] in order, in as few system calls as the platform allows. Returns
  // how many went before the first that failed (its errno in *error); all when none failed.
  virtual std::size_t Send(std::vector<DatagramBytes>& batch, std::size_t first, int* error) = 0;
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

  // MaxRate in kbit/s (0: unpaced) and MaxDatagram in bytes, from any thread; the queue's
  // bound follows the rate (QueueBytesFor).
  void Configure(uint32_t max_rate_kbit, std::size_t max_datagram);
  // Any time, from any thread; the sampler's budget shrinks by its trailer from its next
  // tick. The sealer must outlive the Sender and is called by the sender thread only, in
  // send order; a datagram it refuses (Seal gives 0) is dropped. nullptr: none.
  void SetSealer(DatagramSealer* sealer);

  // DatagramOutput (the sampler's side).
  std::size_t Room() override { return queue_.Room(); }
  bool PushBlock(DatagramBytes datagram) override { return queue_.PushBlock(std::move(datagram)); }
  void Flush() override { queue_.Flush(); }
  void PushControl(DatagramBytes datagram) override { queue_.PushControl(std::move(datagram)); }
  std::size_t TrailerBytes() override {
    DatagramSealer* sealer = sealer_.load();
    return sealer ? sealer->TrailerBytes() : 0;
  }

  // Nothing queued and no batch on its way.
  bool Drained() const { return queue_.Empty() && !busy_.load(); }
  const SendQueue& queue() const { return queue_; }

  struct Counters {
    uint64_t datagrams = 0, wire_bytes = 0, batches = 0, failures = 0;
  };
  Counters counters() const;

 private:
  void Run();
  void SendBatch(std::vector<DatagramBytes>& batch);

  DatagramTransport* transport_;
  std::atomic<DatagramSealer*> sealer_{nullptr};
  SendQueue queue_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> busy_{false};

  std::mutex config_mutex_;
  bool config_changed_ = true;
  uint64_t rate_bytes_ = 0;
  std::size_t max_datagram_ = kMaxDatagramBytes;

  TokenBucket bucket_;  // sender thread only
  std::atomic<uint64_t> datagrams_{0}, wire_bytes_{0}, batches_{0}, failures_{0};
  // Failed datagrams: the first reported in full, then one counted line a second at most.
  FailureThrottle failure_log_;
};

// The hand-over bound for a rate: half a second of sending, within 1..32 MB; unpaced 8 MB,
// a full refresh of a large screen.
std::size_t QueueBytesFor(uint64_t bytes_per_second);

// The server's sender on g_multicast_sock to g_group:g_port, started once by start-up and
// never ended. False when its thread cannot be started.
bool StartServerSender();
Sender* ServerSender();  // nullptr before StartServerSender

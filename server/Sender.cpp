#include "server/Sender.h"

#include <algorithm>

#include "Common/Log.h"
#include "platform/LastError.h"
#include "server/MulticastTransport.h"

static const char kModule[] = "server/Sender";

namespace {
// An idle sender looks for a stop request and unreported failures this often.
constexpr auto kIdleWake = std::chrono::milliseconds(100);
// A paced sender waits until about this share of the bucket is filled, so that its system
// calls carry several datagrams each.
constexpr double kBatchShareOfBurst = 0.5;
constexpr double kQueueSeconds = 0.5;
constexpr std::size_t kMinQueueBytes = 1u << 20, kMaxQueueBytes = 32u << 20;
constexpr std::size_t kUnpacedQueueBytes = 8u << 20;
}  // namespace

std::size_t QueueBytesFor(uint64_t bytes_per_second) {
  if (bytes_per_second == 0) return kUnpacedQueueBytes;
  const auto bytes = static_cast<std::size_t>(static_cast<double>(bytes_per_second) * kQueueSeconds);
  return std::clamp(bytes, kMinQueueBytes, kMaxQueueBytes);
}

Sender::Sender(DatagramTransport* transport)
    : transport_(transport), queue_(QueueBytesFor(0)) {}

Sender::~Sender() { Stop(); }

bool Sender::Start() {
  if (thread_.joinable()) return true;
  stop_ = false;
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void Sender::Stop() {
  if (!thread_.joinable()) return;
  stop_ = true;
  queue_.Wake();
  thread_.join();
}

void Sender::Configure(uint32_t max_rate_kbit, std::size_t max_datagram) {
  const uint64_t rate = uint64_t{max_rate_kbit} * 1000 / 8;
  {
    std::lock_guard<std::mutex> hold(config_mutex_);
    rate_bytes_ = rate;
    max_datagram_ = max_datagram;
    config_changed_ = true;
  }
  queue_.SetCapacity(QueueBytesFor(rate));
  queue_.Wake();
}

void Sender::SetSealer(DatagramSealer* sealer) { sealer_ = sealer; }

Sender::Counters Sender::counters() const {
  return Counters{datagrams_.load(), wire_bytes_.load(), batches_.load(), failures_.load()};
}

void Sender::Run() {
  std::vector<DatagramBytes> batch;
  batch.reserve(kBatch);
  std::size_t burst = 0;
  while (!stop_) {
    Clock::time_point now = Clock::now();
    const std::size_t trailer = TrailerBytes();
    {
      std::lock_guard<std::mutex> hold(config_mutex_);
      if (config_changed_) {
        burst = BurstFor(rate_bytes_, max_datagram_);
        bucket_.Configure(rate_bytes_, burst, now);
        config_changed_ = false;
      }
    }
    busy_ = true;
    batch.clear();
    // Pointer and area never wait behind blocks; they count against the rate all the same.
    queue_.TakeControl(batch);
    for (const DatagramBytes& d : batch) bucket_.Charge(WireBytes(d.size() + trailer), now);
    queue_.TakeBlocks(batch, kBatch - batch.size(),
                      [&](std::size_t n) { return bucket_.TryTake(WireBytes(n + trailer), now); });
    if (!batch.empty()) {
      SendBatch(batch);
      continue;
    }
    busy_ = false;
    const std::size_t front = queue_.FrontBlockBytes();
    if (front == 0) {
      failure_log_.Succeeded();  // failures still held back go out when their second is up
      queue_.WaitUntil(now + kIdleWake, true);
    } else {
      // Wait for the tokens of a batch; a pointer or area ends the wait at once.
      const std::size_t want = std::max(WireBytes(front + trailer),
                                        static_cast<std::size_t>(kBatchShareOfBurst * static_cast<double>(burst)));
      queue_.WaitUntil(bucket_.ReadyAt(std::min(want, burst), now), false);
    }
  }
  busy_ = false;
}

void Sender::SendBatch(std::vector<DatagramBytes>& batch) {
  if (DatagramSealer* sealer = sealer_.load()) {
    const std::size_t trailer = sealer->TrailerBytes();
    std::size_t kept = 0;
    for (std::size_t i = 0; i < batch.size(); ++i) {
      DatagramBytes& d = batch[i];
      const std::size_t n = d.size();
      d.resize(n + trailer);  // the sampler left the room: no copy
      const std::size_t sealed = sealer->Seal(d.data(), n);
      if (sealed == 0) continue;  // the sealer refuses it: it must not go
      d.resize(sealed);
      if (kept != i) batch[kept] = std::move(d);
      ++kept;
    }
    failures_ += batch.size() - kept;
    batch.resize(kept);
  }
  std::size_t first = 0;
  while (first < batch.size()) {
    int error = 0;
    const std::size_t count = batch.size() - first;
    const std::size_t sent = transport_->Send(batch, first, &error);
    for (std::size_t i = first; i < first + sent; ++i) wire_bytes_ += WireBytes(batch[i].size());
    datagrams_ += sent;
    ++batches_;
    first += sent;
    if (sent == count) {
      failure_log_.Succeeded();
    } else {
      // The failed datagram is dropped; the rest of the batch still goes.
      ++failures_;
      SetLastError(error);
      failure_log_.Failed("sent == count", kModule, __LINE__);
      ++first;
    }
  }
}

namespace {
Sender* g_server_sender = nullptr;
}  // namespace

bool StartServerSender() {
  if (g_server_sender) return true;
  // Used until the process ends, like every object the worker threads touch.
  auto* s = new Sender(new MulticastTransport);
  if (!s->Start()) return false;
  g_server_sender = s;
  return true;
}

Sender* ServerSender() { return g_server_sender; }

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
// Results looked at a time: the pool keeps only a few ahead (two a worker).
constexpr std::size_t kResultsAtOnce = 16;

void WakeSender(void* queue) { static_cast<SendQueue*>(queue)->Wake(); }
}  // namespace

Sender::Sender(DatagramTransport* transport) : transport_(transport) {}

Sender::~Sender() {
  Stop();
  SetSource(nullptr);
}

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
  queue_.Wake();
}

uint64_t Sender::rate_bytes() const {
  std::lock_guard<std::mutex> hold(config_mutex_);
  return rate_bytes_;
}

void Sender::SetSealer(DatagramSealer* sealer) { sealer_ = sealer; }

void Sender::SetSource(CompressPool* pool) {
  if (source_.load() == pool) return;
  {
    std::lock_guard<std::mutex> hold(source_mutex_);
    CompressPool* old = source_.exchange(pool);
    if (old == pool) return;
    if (old) old->RemoveReadyHook(&queue_);
    // Results coming ready end the sender's wait, as a control datagram does.
    if (pool) pool->SetReadyHook(WakeSender, &queue_);
    sent_of_head_ = 0;  // a new source starts at its oldest result
  }
  queue_.Wake();
}

bool Sender::Drained() const {
  CompressPool* pool = source_.load();
  return queue_.Empty() && !busy_.load() && (!pool || pool->Pending() == 0);
}

Sender::Counters Sender::counters() const {
  return Counters{datagrams_.load(), wire_bytes_.load(), batches_.load(), failures_.load(),
                  Clock::time_point(Clock::duration(last_batch_.load()))};
}

void Sender::Run() {
  std::vector<DatagramBytes> control;
  control.reserve(SendQueue::kControlEntries);
  std::vector<DatagramRef> batch;
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
    control.clear();
    batch.clear();
    // Pointer and area never wait behind blocks; they count against the rate all the same.
    queue_.TakeControl(control);
    for (DatagramBytes& d : control) {
      bucket_.Charge(WireBytes(d.size() + trailer), now);
      d.reserve(d.size() + trailer);  // the sampler left the room; this only makes sure
      batch.push_back(DatagramRef{d.data(), d.size(), d.capacity()});
    }
    std::size_t need = 0;
    {
      // Until the batch is sent and its results released, the pool must stay the source.
      std::lock_guard<std::mutex> source(source_mutex_);
      CompressPool* pool = source_.load();
      const std::size_t whole = pool ? TakeBlocks(pool, trailer, now, batch, &need) : 0;
      if (!batch.empty() || whole > 0) {
        if (!batch.empty()) SendBatch(batch);
        // Sent (or refused): the results' buffers and the pixels behind them are free.
        if (whole > 0) pool->Release(whole);
        last_batch_ = Clock::now().time_since_epoch().count();
        continue;
      }
    }
    busy_ = false;
    if (need == 0) {
      failure_log_.Succeeded();  // failures still held back go out when their second is up
      queue_.WaitUntil(now + kIdleWake);
    } else {
      // Wait for the tokens of a batch; a pointer or area ends the wait at once.
      const std::size_t want = std::max(need, static_cast<std::size_t>(kBatchShareOfBurst * static_cast<double>(burst)));
      queue_.WaitUntil(bucket_.ReadyAt(std::min(want, burst), now));
    }
  }
  busy_ = false;
}

std::size_t Sender::TakeBlocks(CompressPool* pool, std::size_t trailer, Clock::time_point now,
                               std::vector<DatagramRef>& batch, std::size_t* need) {
  CompressPool::Result results[kResultsAtOnce];
  const std::size_t ready = pool->Ready(results, kResultsAtOnce, std::chrono::milliseconds(0));
  std::size_t whole = 0, at = sent_of_head_;
  for (; whole < ready; ++whole, at = 0) {
    DatagramList& list = *results[whole].datagrams;
    for (; at < list.Count() && batch.size() < kBatch; ++at) {
      const std::size_t wire = WireBytes(list.Length(at) + trailer);
      if (!bucket_.TryTake(wire, now)) {
        *need = wire;
        break;
      }
      batch.push_back(DatagramRef{list.Data(at), list.Length(at), list.Length(at) + list.Spare()});
    }
    if (at < list.Count()) break;  // the rest of this result goes later
  }
  sent_of_head_ = whole < ready ? at : 0;
  return whole;
}

void Sender::SendBatch(std::vector<DatagramRef>& batch) {
  if (DatagramSealer* sealer = sealer_.load()) {
    const std::size_t trailer = sealer->TrailerBytes();
    std::size_t kept = 0;
    for (DatagramRef& d : batch) {
      // No room for the trailer (it grew after the block was made), or refused by the
      // sealer: the datagram must not go.
      const std::size_t sealed = d.size + trailer <= d.room ? sealer->Seal(d.data, d.size) : 0;
      if (sealed == 0) continue;
      d.size = sealed;
      batch[kept++] = d;
    }
    failures_ += batch.size() - kept;
    batch.resize(kept);
  }
  std::size_t first = 0;
  while (first < batch.size()) {
    int error = 0;
    const std::size_t count = batch.size() - first;
    const std::size_t sent = transport_->Send(batch.data() + first, count, &error);
    for (std::size_t i = first; i < first + sent; ++i) wire_bytes_ += WireBytes(batch[i].size);
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

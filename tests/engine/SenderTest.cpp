// The sending stage alone: wire bytes, the token bucket over 20 ms windows (simulated time),
// the bounded hand-over queue, and the sender thread with a recording transport (real time):
// pacing, pointer datagrams never behind blocks, sealing in send order, failure reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include "server/Pacer.h"
#include "server/SendQueue.h"
#include "server/Sender.h"
#include "tests/common/CommonTestUtil.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using commontest::LogPlace;

namespace {

DatagramBytes Bytes(std::size_t n, uint8_t tag) { return DatagramBytes(n, tag); }

TEST(WireBytes, OneFrameUpTo1472AndAFragmentHeaderForEachFurtherFrame) {
  struct { std::size_t payload, wire; } cases[] = {
      {20, 62},        // 20 + 8 UDP + 20 IP + 14 Ethernet
      {1471, 1513},
      {1472, 1514},    // the largest Ethernet frame
      {1473, 1549},    // a second fragment: its own IP and Ethernet header
      {2952, 3028},    // 2960 bytes of IP payload: exactly two fragments of 1480
      {2953, 3063},
      {65507, 65515 + 45 * 34},
  };
  for (auto c : cases) EXPECT_EQ(WireBytes(c.payload), c.wire) << c.payload;
}

// A sender that always has more to send, in simulated time: what the bucket lets through in
// any 20 ms stays within the rate plus the burst, and the rate is used, not wasted.
TEST(TokenBucket, AnyTwentyMillisecondsStayWithinTheRatePlusTheBurst) {
  struct Case { uint64_t rate; std::size_t datagram; };
  const Case cases[] = {{6'250'000, 1472}, {125'000, 1472}, {6'250'000, 65507}, {62'500'000, 576}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.rate) + " B/s, " + std::to_string(c.datagram));
    const std::size_t burst = BurstFor(c.rate, c.datagram);
    TokenBucket bucket;
    Clock::time_point t0{}, t = t0;
    bucket.Configure(c.rate, burst, t);
    std::vector<std::pair<Clock::time_point, std::size_t>> sent;
    std::size_t total = 0;
    for (int i = 0; t - t0 < 2s; ++i) {
      // Mixed sizes, as pieces of a screen come out.
      const std::size_t wire = WireBytes(i % 5 == 0 ? c.datagram / 3 : c.datagram);
      if (bucket.TryTake(wire, t)) {
        sent.emplace_back(t, wire);
        total += wire;
      } else {
        const auto ready = bucket.ReadyAt(wire, t);
        ASSERT_GT(ready, t);
        t = ready;
      }
    }
    const double allowed = static_cast<double>(c.rate) * 0.020 + static_cast<double>(burst);
    std::size_t in_window = 0, worst = 0;
    for (std::size_t a = 0, b = 0; a < sent.size(); ++a) {
      while (b < sent.size() && sent[b].first < sent[a].first + 20ms) in_window += sent[b++].second;
      worst = std::max(worst, in_window);
      in_window -= sent[a].second;
    }
    EXPECT_LE(static_cast<double>(worst), allowed);
    // Over 2 s the bucket gives the whole rate (and the starting burst), no more.
    EXPECT_GE(static_cast<double>(total), 0.98 * 2 * static_cast<double>(c.rate));
    EXPECT_LE(static_cast<double>(total), 2 * static_cast<double>(c.rate) + static_cast<double>(burst));
  }
}

TEST(TokenBucket, UnpacedGrantsEverythingAndDebtDelaysTheNextBlock) {
  TokenBucket bucket;
  const Clock::time_point t{};
  bucket.Configure(0, 0, t);
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(bucket.TryTake(65535, t));
  EXPECT_EQ(bucket.ReadyAt(1 << 30, t), t);

  bucket.Configure(1'000'000, 10'000, t);
  EXPECT_TRUE(bucket.TryTake(10'000, t));  // starts full
  EXPECT_FALSE(bucket.TryTake(1, t));
  bucket.Charge(5'000, t);  // a pointer that may not wait, into debt
  // 5000 of debt and 1000 wanted: 6 ms at 1 MB/s.
  const auto ready = bucket.ReadyAt(1'000, t);
  EXPECT_GE(ready - t, 6ms);
  EXPECT_LT(ready - t, 6ms + 10us);
  EXPECT_FALSE(bucket.TryTake(1'000, ready - 100us));
  EXPECT_TRUE(bucket.TryTake(1'000, ready));
}

TEST(SendQueue, BlocksAreBoundedInBytesAndControlGoesFirst) {
  SendQueue q(10 * (1000 + SendQueue::kEntryBytes));
  EXPECT_EQ(q.Room(), 10u * 1064);
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(q.PushBlock(Bytes(1000, static_cast<uint8_t>(i))));
  EXPECT_EQ(q.Room(), 0u);
  EXPECT_FALSE(q.PushBlock(Bytes(1, 99))) << "one byte past the bound";
  EXPECT_EQ(q.QueuedBytes(), 10u * 1064);
  // The control lane keeps its newest 32.
  for (int i = 0; i < 40; ++i) q.PushControl(Bytes(20, static_cast<uint8_t>(100 + i)));
  EXPECT_EQ(q.DroppedControl(), 8u);
  std::vector<DatagramBytes> out;
  q.TakeControl(out);
  ASSERT_EQ(out.size(), 32u);
  EXPECT_EQ(out.front()[0], 108);
  EXPECT_EQ(out.back()[0], 139);
  // Blocks leave in order while admitted; the first refused stops the take.
  out.clear();
  int admitted = 0;
  EXPECT_EQ(q.TakeBlocks(out, 64, [&](std::size_t n) { return n == 1000 && ++admitted <= 3; }), 3u);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[2][0], 2);
  EXPECT_EQ(q.Room(), 3u * 1064);
  EXPECT_EQ(q.FrontBlockBytes(), 1000u);
  EXPECT_EQ(q.TakeBlocks(out, 2, [](std::size_t) { return true; }), 2u);
  EXPECT_EQ(out.back()[0], 4);
  q.SetCapacity(1064);  // a lower rate: the bound shrinks, nothing is dropped
  EXPECT_EQ(q.Room(), 0u);
  EXPECT_FALSE(q.Empty());
}

// Records what goes out and when; can fail every datagram.
class RecordingTransport : public DatagramTransport {
 public:
  std::size_t Send(std::vector<DatagramBytes>& batch, std::size_t first, int* error) override {
    std::lock_guard<std::mutex> hold(mutex);
    ++calls;
    if (fail) {
      *error = ENETUNREACH;
      return 0;
    }
    const auto now = Clock::now();
    for (std::size_t i = first; i < batch.size(); ++i) sent.push_back({now, batch[i]});
    return batch.size() - first;
  }
  struct Sent {
    Clock::time_point at;
    DatagramBytes d;
  };
  std::vector<Sent> Take() {
    std::lock_guard<std::mutex> hold(mutex);
    return sent;
  }
  std::mutex mutex;
  std::vector<Sent> sent;
  int calls = 0;
  std::atomic<bool> fail{false};
};

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

TEST(Sender, PacesBlocksInBatchesWithinTheRate) {
  RecordingTransport transport;
  Sender sender(&transport);
  sender.Configure(8000, 1472);  // 1 MB/s
  ASSERT_TRUE(sender.Start());
  const auto start = Clock::now();
  for (int i = 0; i < 600; ++i) ASSERT_TRUE(sender.PushBlock(Bytes(1472, 1)));
  sender.Flush();
  ASSERT_TRUE(WaitUntil([&] { return sender.Drained(); }, 5s));
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const auto sent = transport.Take();
  ASSERT_EQ(sent.size(), 600u);
  // 600 x 1514 wire bytes at 1 MB/s, less the first burst: about 0.9 s.
  EXPECT_GE(seconds, 0.85);
  EXPECT_LE(seconds, 1.5);
  const double allowed = 1'000'000 * 0.020 + static_cast<double>(BurstFor(1'000'000, 1472)) + 1514;
  std::size_t worst = 0, in_window = 0;
  for (std::size_t a = 0, b = 0; a < sent.size(); ++a) {
    while (b < sent.size() && sent[b].at < sent[a].at + 20ms) in_window += WireBytes(sent[b++].d.size());
    worst = std::max(worst, in_window);
    in_window -= WireBytes(sent[a].d.size());
  }
  EXPECT_LE(static_cast<double>(worst), allowed);
  const auto c = sender.counters();
  EXPECT_EQ(c.datagrams, 600u);
  EXPECT_EQ(c.wire_bytes, 600u * 1514);
  EXPECT_LT(c.batches, 600u / 3) << "several datagrams per system call";
}

TEST(Sender, PointerAndAreaNeverWaitBehindBlocks) {
  RecordingTransport transport;
  Sender sender(&transport);
  sender.Configure(1000, 1472);  // 125 KB/s: 200 blocks take over 2 s
  ASSERT_TRUE(sender.Start());
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(sender.PushBlock(Bytes(1472, 2)));
  sender.Flush();
  std::this_thread::sleep_for(100ms);
  const auto pushed = Clock::now();
  sender.PushControl(Bytes(20, 1));
  ASSERT_TRUE(WaitUntil([&] {
    for (const auto& s : transport.Take()) if (s.d[0] == 1) return true;
    return false;
  }, 1s));
  const auto sent = transport.Take();
  std::size_t at = 0;
  while (sent[at].d[0] != 1) ++at;
  EXPECT_LT(sent[at].at - pushed, 20ms);
  EXPECT_LT(at, 40u) << "went out after " << at << " blocks";
  EXPECT_GT(sender.queue().QueuedBytes(), 100u * 1472) << "most blocks still wait";
}

// Appends a sequence number and a mark: shows the order of sealing and the room left for it.
// Refuses the datagrams whose first byte is `refuse`, as a sealer whose numbers are spent.
class CountingSealer : public DatagramSealer {
 public:
  std::size_t TrailerBytes() const override { return 16; }
  std::size_t Seal(uint8_t* d, std::size_t n) override {
    if (d[0] == refuse) return 0;
    const uint64_t seq = next++;
    std::memcpy(d + n, &seq, 8);
    std::memcpy(d + n + 8, "SEALSEAL", 8);
    return n + 16;
  }
  uint64_t next = 0;
  int refuse = -1;
};

TEST(Sender, EveryDatagramIsSealedInSendOrder) {
  RecordingTransport transport;
  CountingSealer sealer;
  Sender sender(&transport);
  sender.SetSealer(&sealer);
  EXPECT_EQ(sender.TrailerBytes(), 16u);
  sender.Configure(2000, 1472);
  ASSERT_TRUE(sender.Start());
  for (int i = 0; i < 100; ++i) {
    DatagramBytes d;
    d.reserve(1456 + 16);  // the sampler leaves the room
    d.assign(1456, 3);
    ASSERT_TRUE(sender.PushBlock(std::move(d)));
    if (i % 10 == 0) sender.PushControl(Bytes(20, 4));
  }
  sender.Flush();
  ASSERT_TRUE(WaitUntil([&] { return sender.Drained(); }, 5s));
  const auto sent = transport.Take();
  ASSERT_EQ(sent.size(), 110u);
  for (std::size_t i = 0; i < sent.size(); ++i) {
    const DatagramBytes& d = sent[i].d;
    ASSERT_GE(d.size(), 36u);
    uint64_t seq = 0;
    std::memcpy(&seq, d.data() + d.size() - 16, 8);
    EXPECT_EQ(seq, i) << "sealed in the order sent";
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d.data() + d.size() - 8), 8), "SEALSEAL");
    EXPECT_LE(d.size(), 1472u);
  }
}

TEST(Sender, ADatagramTheSealerRefusesIsDropped) {
  RecordingTransport transport;
  CountingSealer sealer;
  sealer.refuse = 7;
  Sender sender(&transport);
  sender.SetSealer(&sealer);
  sender.Configure(0, 1472);
  ASSERT_TRUE(sender.Start());
  for (uint8_t tag : {1, 7, 2, 7, 3}) ASSERT_TRUE(sender.PushBlock(Bytes(100, tag)));
  sender.Flush();
  ASSERT_TRUE(WaitUntil([&] { return sender.Drained(); }, 2s));
  const auto sent = transport.Take();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].d[0], 1);
  EXPECT_EQ(sent[2].d[0], 3);
  EXPECT_EQ(sender.counters().failures, 2u);
}

TEST(Sender, RepeatedFailuresGiveAtMostOneLogLineASecondWithACount) {
  LogPlace place;
  RecordingTransport transport;
  transport.fail = true;
  Sender sender(&transport);
  sender.Configure(0, 1472);
  ASSERT_TRUE(sender.Start());
  const auto start = Clock::now();
  int pushed = 0;
  while (Clock::now() - start < 2500ms) {
    for (int i = 0; i < 10; ++i, ++pushed) sender.PushBlock(Bytes(100, 5));
    sender.Flush();
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_TRUE(WaitUntil([&] { return sender.Drained(); }, 2s));
  std::this_thread::sleep_for(1200ms);  // the last count is reported when the second is up
  sender.Stop();
  const std::string log = place.Log();
  // The first failure in full (two lines), then "failed N more times" at most once a second.
  int reports = 0;
  long counted = 0;
  for (std::size_t p = 0; (p = log.find("ASSERT(sent == count) failed", p)) != std::string::npos; ++p) {
    ++reports;
    const std::size_t more = log.find(" failed ", p) + 8;
    const bool summary = log.compare(log.find_first_not_of("0123456789", more), 5, " more") == 0;
    counted += summary ? std::atol(log.c_str() + more) : 1;
  }
  EXPECT_GE(reports, 2) << log;
  EXPECT_LE(reports, 4) << log;  // 2.5 s of failures, then the last count
  EXPECT_EQ(counted, pushed) << log;
  EXPECT_NE(log.find("in module [server/Sender:"), std::string::npos) << log;
  EXPECT_NE(log.find("ERROR: Network is unreachable"), std::string::npos) << log;
  EXPECT_EQ(sender.counters().failures, static_cast<uint64_t>(pushed));
}

}  // namespace

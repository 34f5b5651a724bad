// The sending stage alone: wire bytes, the token bucket over 20 ms windows (simulated time),
// the control lane, and the sender thread taking blocks from a compression pool of fake
// cutters, with a recording transport (real time): pacing, pointer datagrams never behind
// blocks, sealing in place in send order, failure reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include "server/CompressPool.h"
#include "server/Pacer.h"
#include "server/SendQueue.h"
#include "server/Sender.h"
#include "tests/common/CommonTestUtil.h"
#include "EngineFakes.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using commontest::LogPlace;
using enginetest::CountingSealer;
using enginetest::RecordingTransport;

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

TEST(SendQueue, ControlKeepsItsNewestInOrderAndAWakeIsNeverLost) {
  SendQueue q;
  for (int i = 0; i < 40; ++i) q.PushControl(Bytes(20, static_cast<uint8_t>(100 + i)));
  EXPECT_EQ(q.DroppedControl(), 8u);
  std::vector<DatagramBytes> out;
  q.TakeControl(out);
  ASSERT_EQ(out.size(), 32u);
  EXPECT_EQ(out.front()[0], 108);
  EXPECT_EQ(out.back()[0], 139);
  EXPECT_TRUE(q.Empty());
  // A wake given before the wait ends the wait at once; the next wait runs to its deadline.
  q.Wake();
  auto t0 = Clock::now();
  q.WaitUntil(t0 + 2s);
  EXPECT_LT(Clock::now() - t0, 1s);
  t0 = Clock::now();
  q.WaitUntil(t0 + 30ms);
  EXPECT_GE(Clock::now() - t0, 30ms);
}

// Blocks without compressing: a job of W x H makes H datagrams of W bytes, each filled with
// the job's tag.
struct FixedCutter : BlockCutter {
  void Cut(Compressor&, const CompressJob& job, DatagramList& out) override {
    const std::size_t n = static_cast<std::size_t>(job.rect.Width());
    for (int64_t i = 0; i < job.rect.Height(); ++i) {
      memset(out.Begin(n), static_cast<int>(job.tag), n);
      out.Commit(n);
    }
  }
};

// Where the sender under test takes its blocks from.
struct Blocks {
  CompressPool pool{[] { return std::make_unique<FixedCutter>(); }, 2};
  void Push(std::size_t bytes, uint8_t tag, int count = 1, std::size_t spare = 0) {
    static const uint8_t pixel = 0;
    CompressJob job;
    job.rect = Rect{0, 0, static_cast<int32_t>(bytes), count};
    job.pixels = &pixel;
    job.tag = tag;
    job.spare = spare;
    pool.Submit(job);
  }
};

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Jobs of ten blocks: batches span results, and the sender waits for tokens between them.
TEST(Sender, PacesBlocksInBatchesWithinTheRate) {
  RecordingTransport transport;
  Blocks blocks;
  Sender sender(&transport);
  sender.SetSource(&blocks.pool);
  sender.Configure(8000, 1472);  // 1 MB/s
  ASSERT_TRUE(sender.Start());
  const auto start = Clock::now();
  for (int i = 0; i < 60; ++i) blocks.Push(1472, 1, 10);
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
  EXPECT_EQ(blocks.pool.ReleasedOf(1).datagrams, 600u) << "every result released once sent";
}

TEST(Sender, PointerAndAreaNeverWaitBehindBlocks) {
  RecordingTransport transport;
  Blocks blocks;
  Sender sender(&transport);
  sender.SetSource(&blocks.pool);
  sender.Configure(1000, 1472);  // 125 KB/s: 200 blocks take over 2 s
  ASSERT_TRUE(sender.Start());
  for (int i = 0; i < 20; ++i) blocks.Push(1472, 2, 10);
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
  EXPECT_GT(blocks.pool.Pending(), 10u) << "most blocks still wait";
}

// Blocks are sealed where they lie, in the room their job kept after each, and neither the
// block before nor the one after is touched.
TEST(Sender, EveryDatagramIsSealedInSendOrder) {
  RecordingTransport transport;
  CountingSealer sealer;
  Blocks blocks;
  Sender sender(&transport);
  sender.SetSource(&blocks.pool);
  sender.SetSealer(&sealer);
  EXPECT_EQ(sender.TrailerBytes(), 16u);
  sender.Configure(2000, 1472);
  ASSERT_TRUE(sender.Start());
  for (int i = 0; i < 10; ++i) {
    blocks.Push(1456, 3, 10, 16);
    sender.PushControl(Bytes(20, 4));
  }
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
    if (d[0] == 3) {
      EXPECT_EQ(std::count(d.begin(), d.end() - 16, 3), 1456) << "a neighbour's seal overwrote it";
    }
  }
}

// Refused by the sealer, or made without room for its trailer (the key came after the block
// was cut): the datagram does not go, and the rest still do.
TEST(Sender, ADatagramTheSealerRefusesOrHasNoRoomForIsDropped) {
  RecordingTransport transport;
  CountingSealer sealer;
  sealer.refuse = 7;
  Blocks blocks;
  Sender sender(&transport);
  sender.SetSource(&blocks.pool);
  sender.SetSealer(&sealer);
  sender.Configure(0, 1472);
  ASSERT_TRUE(sender.Start());
  for (uint8_t tag : {1, 7, 2, 7, 3}) blocks.Push(100, tag, 1, 16);
  blocks.Push(100, 9, 1, 15);  // one byte short of the trailer
  blocks.Push(100, 5, 1, 16);
  ASSERT_TRUE(WaitUntil([&] { return sender.Drained(); }, 2s));
  const auto sent = transport.Take();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0].d[0], 1);
  EXPECT_EQ(sent[2].d[0], 3);
  EXPECT_EQ(sent[3].d[0], 5);
  EXPECT_EQ(sender.counters().failures, 3u);
}

TEST(Sender, RepeatedFailuresGiveAtMostOneLogLineASecondWithACount) {
  LogPlace place;
  RecordingTransport transport;
  transport.fail = true;
  Blocks blocks;
  Sender sender(&transport);
  sender.SetSource(&blocks.pool);
  sender.Configure(0, 1472);
  ASSERT_TRUE(sender.Start());
  const auto start = Clock::now();
  int pushed = 0;
  while (Clock::now() - start < 2500ms) {
    blocks.Push(100, 5, 10);
    pushed += 10;
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

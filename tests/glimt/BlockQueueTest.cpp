#include "glimt/BlockQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace {

// A datagram of the given size whose first bytes carry a number.
uint8_t* Numbered(uint32_t n, std::size_t size = 8) {
  uint8_t* p = new uint8_t[size];
  std::memcpy(p, &n, sizeof n);
  return p;
}
uint32_t NumberOf(const uint8_t* p) {
  uint32_t n;
  std::memcpy(&n, p, sizeof n);
  return n;
}

std::vector<uint32_t> Contents(BlockQueue& q) {
  std::vector<uint32_t> out, back;
  q.Lock();
  for (BlockNode* n = q.first(); n; n = n->next) out.push_back(NumberOf(n->datagram));
  for (BlockNode* n = q.last(); n; n = n->previous) back.insert(back.begin(), NumberOf(n->datagram));
  q.Unlock();
  EXPECT_EQ(out, back) << "forward and backward links disagree";
  return out;
}

std::size_t Bytes(BlockQueue& q) {
  q.Lock();
  const std::size_t b = q.bytes();
  q.Unlock();
  return b;
}

TEST(BlockQueueTest, RemoveRelinksFirstMiddleAndLast) {
  struct Case { std::vector<int> remove; std::vector<uint32_t> left; };
  const Case cases[] = {
      {{0}, {1, 2, 3}}, {{3}, {0, 1, 2}}, {{1}, {0, 2, 3}},
      {{1, 2}, {0, 3}}, {{0, 1, 2, 3}, {}}, {{3, 0}, {1, 2}},
  };
  for (const Case& c : cases) {
    BlockQueue q;
    std::vector<BlockNode*> nodes;
    for (uint32_t i = 0; i < 4; ++i) {
      ASSERT_EQ(q.Append(Numbered(i, 100 + i), 100 + i), 0);
      q.Lock();
      nodes.push_back(q.last());
      q.Unlock();
    }
    std::size_t bytes = 0;
    for (uint32_t i : c.left) bytes += BlockQueue::Cost(100 + i);
    for (int i : c.remove) {
      delete[] nodes[i]->datagram;
      q.Remove(nodes[i]);
    }
    EXPECT_EQ(Contents(q), c.left);
    q.Lock();
    EXPECT_EQ(q.count(), static_cast<int>(c.left.size()));
    EXPECT_EQ(q.bytes(), bytes);
    EXPECT_EQ(q.first() == nullptr, c.left.empty());
    EXPECT_EQ(q.last() == nullptr, c.left.empty());
    q.Unlock();
  }
}

// The real bound with real 1472-byte datagrams: 16,384 of them cost exactly 24 MiB. A last
// datagram one byte smaller or of the same size fits; one byte larger drops the oldest.
TEST(BlockQueueTest, TheByteBoundHoldsAtExactlyItsSize) {
  static_assert(BlockQueue::kCapacityBytes % BlockQueue::Cost(1472) == 0);
  constexpr uint32_t kFull = BlockQueue::kCapacityBytes / BlockQueue::Cost(1472);
  struct Case { std::size_t last_size; int dropped; };
  const Case cases[] = {{1471, 0}, {1472, 0}, {1473, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.last_size);
    BlockQueue q;
    for (uint32_t i = 0; i + 1 < kFull; ++i) ASSERT_EQ(q.Append(Numbered(i, 1472), 1472), 0);
    EXPECT_EQ(q.Append(Numbered(kFull - 1, c.last_size), c.last_size), c.dropped);
    const std::size_t total = (kFull - 1) * BlockQueue::Cost(1472) + BlockQueue::Cost(c.last_size);
    q.Lock();
    EXPECT_EQ(q.count(), static_cast<int>(kFull) - c.dropped);
    EXPECT_EQ(q.bytes(), total - c.dropped * BlockQueue::Cost(1472));
    EXPECT_LE(q.bytes(), BlockQueue::kCapacityBytes);
    EXPECT_EQ(NumberOf(q.first()->datagram), static_cast<uint32_t>(c.dropped));  // the oldest went
    EXPECT_EQ(NumberOf(q.last()->datagram), kFull - 1);                          // the newest stays
    EXPECT_EQ(q.dropped(), static_cast<uint64_t>(c.dropped));
    q.Unlock();
  }
}

TEST(BlockQueueTest, WhenFullTheOldestGoFirstAndTheNewestAlwaysStays) {
  // Room for exactly four 36-byte datagrams (cost 100 each).
  struct Step { uint32_t number; std::size_t size; int dropped; std::vector<uint32_t> after; };
  const Step steps[] = {
      {1, 36, 0, {1}},          {2, 36, 0, {1, 2}},         {3, 36, 0, {1, 2, 3}},
      {4, 36, 0, {1, 2, 3, 4}},  // exactly full
      {5, 36, 1, {2, 3, 4, 5}},  // one over: the oldest goes
      {6, 236, 3, {5, 6}},       // a larger one makes room by dropping three
      {7, 36, 1, {6, 7}},
      {8, 337, 1, {6, 7}},       // alone one byte over the bound: dropped itself
      {9, 336, 2, {9}},          // alone exactly the bound: everything else goes
  };
  BlockQueue q(400);
  for (const Step& s : steps) {
    SCOPED_TRACE(s.number);
    EXPECT_EQ(q.Append(Numbered(s.number, s.size), s.size), s.dropped);
    EXPECT_EQ(Contents(q), s.after);
    EXPECT_LE(Bytes(q), 400u);
  }
  q.Lock();
  EXPECT_EQ(q.dropped(), 8u);
  q.Unlock();
}

TEST(BlockQueueTest, AWalkEndsAtTheNodeThatWasLastWhenItBegan) {
  BlockQueue q;
  for (uint32_t i = 0; i < 3; ++i) q.Append(Numbered(i), 8);
  std::vector<uint32_t> drawn;
  uint32_t next = 100;
  const int n = DrainBlocks(q, [&](uint8_t* d) {
    drawn.push_back(NumberOf(d));
    q.Append(Numbered(next++), 8);  // arrives during the paint
  });
  EXPECT_EQ(n, 3);
  EXPECT_EQ(drawn, (std::vector<uint32_t>{0, 1, 2}));
  EXPECT_EQ(Contents(q), (std::vector<uint32_t>{100, 101, 102}));
  EXPECT_EQ(DrainBlocks(q, [](uint8_t*) {}), 3);
  EXPECT_EQ(DrainBlocks(q, [](uint8_t*) {}), 0);
  EXPECT_EQ(Bytes(q), 0u);
}

// The block in the painter's hands has left the queue: a flood that drops the oldest while it
// is drawn cannot free it, and the walk goes on with the oldest that is still queued.
TEST(BlockQueueTest, DroppingNeverTouchesTheBlockBeingDrawn) {
  BlockQueue q(4 * BlockQueue::Cost(8));
  for (uint32_t i = 0; i < 4; ++i) q.Append(Numbered(i), 8);
  std::vector<uint32_t> drawn;
  uint32_t next = 100;
  DrainBlocks(q, [&](uint8_t* d) {
    const uint32_t before = NumberOf(d);
    if (before == 0) {
      for (int i = 0; i < 3; ++i) EXPECT_EQ(q.Append(Numbered(next++), 8), i == 0 ? 0 : 1);
    }
    EXPECT_EQ(NumberOf(d), before);  // still ours (ASan: not freed)
    drawn.push_back(before);
  });
  // 0 was being drawn; 1 and 2 were dropped for 101 and 102; 3 was queued when the walk began.
  EXPECT_EQ(drawn, (std::vector<uint32_t>{0, 3}));
  EXPECT_EQ(Contents(q), (std::vector<uint32_t>{100, 101, 102}));
}

TEST(BlockQueueTest, ConcurrentAppendAndDrainKeepArrivalOrderAndAccountForEveryBlock) {
  BlockQueue q(64 * BlockQueue::Cost(8));
  constexpr uint32_t kBlocks = 50000;
  std::atomic<bool> done{false};
  std::atomic<uint64_t> lost{0};
  std::thread producer([&] {
    for (uint32_t i = 0; i < kBlocks; ++i) lost += static_cast<uint64_t>(q.Append(Numbered(i), 8));
    done = true;
  });
  std::vector<uint32_t> seen;
  seen.reserve(kBlocks);
  for (;;) {
    const bool finished = done;
    DrainBlocks(q, [&](uint8_t* d) { seen.push_back(NumberOf(d)); });
    EXPECT_LE(Bytes(q), 64 * BlockQueue::Cost(8));
    if (finished && Bytes(q) == 0) break;
  }
  producer.join();
  for (std::size_t i = 1; i < seen.size(); ++i) ASSERT_LT(seen[i - 1], seen[i]);
  EXPECT_EQ(seen.size() + lost, kBlocks);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), kBlocks - 1) << "the newest block is never the one dropped";
  q.Lock();
  EXPECT_EQ(q.dropped(), lost.load());
  q.Unlock();
}

}  // namespace

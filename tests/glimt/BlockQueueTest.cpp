#include "glimt/BlockQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace {

uint8_t* Numbered(uint32_t n) {
  uint8_t* p = new uint8_t[8];
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
      ASSERT_TRUE(q.Append(Numbered(i)));
      q.Lock();
      nodes.push_back(q.last());
      q.Unlock();
    }
    for (int i : c.remove) {
      delete[] nodes[i]->datagram;
      q.Remove(nodes[i]);
    }
    EXPECT_EQ(Contents(q), c.left);
    q.Lock();
    EXPECT_EQ(q.count(), static_cast<int>(c.left.size()));
    EXPECT_EQ(q.first() == nullptr, c.left.empty());
    EXPECT_EQ(q.last() == nullptr, c.left.empty());
    q.Unlock();
  }
}

TEST(BlockQueueTest, RefusesEntriesBeyondItsCapacityUntilDrained) {
  BlockQueue q;
  for (int i = 0; i < BlockQueue::kCapacity; ++i) ASSERT_TRUE(q.Append(Numbered(i)));
  uint8_t* extra = Numbered(9999);
  EXPECT_FALSE(q.Append(extra));  // the caller keeps it
  delete[] extra;
  EXPECT_EQ(DrainBlocks(q, [](uint8_t*) {}), BlockQueue::kCapacity);
  EXPECT_TRUE(q.Append(Numbered(1)));
}

TEST(BlockQueueTest, AWalkEndsAtTheNodeThatWasLastWhenItBegan) {
  BlockQueue q;
  for (uint32_t i = 0; i < 3; ++i) q.Append(Numbered(i));
  std::vector<uint32_t> drawn;
  uint32_t next = 100;
  const int n = DrainBlocks(q, [&](uint8_t* d) {
    drawn.push_back(NumberOf(d));
    q.Append(Numbered(next++));  // arrives during the paint
  });
  EXPECT_EQ(n, 3);
  EXPECT_EQ(drawn, (std::vector<uint32_t>{0, 1, 2}));
  EXPECT_EQ(Contents(q), (std::vector<uint32_t>{100, 101, 102}));
  EXPECT_EQ(DrainBlocks(q, [](uint8_t*) {}), 3);
  EXPECT_EQ(DrainBlocks(q, [](uint8_t*) {}), 0);
}

TEST(BlockQueueTest, ConcurrentAppendAndDrainKeepArrivalOrderAndLoseNothing) {
  BlockQueue q;
  constexpr uint32_t kBlocks = 50000;
  std::atomic<bool> done{false};
  std::thread producer([&] {
    for (uint32_t i = 0; i < kBlocks; ++i) {
      uint8_t* d = Numbered(i);
      while (!q.Append(d)) std::this_thread::yield();  // full: wait for the painter
    }
    done = true;
  });
  std::vector<uint32_t> seen;
  seen.reserve(kBlocks);
  while (!done || seen.size() < kBlocks) {
    DrainBlocks(q, [&](uint8_t* d) { seen.push_back(NumberOf(d)); });
    q.Lock();
    const int c = q.count();
    q.Unlock();
    EXPECT_LE(c, BlockQueue::kCapacity);
  }
  producer.join();
  ASSERT_EQ(seen.size(), kBlocks);
  for (uint32_t i = 0; i < kBlocks; ++i) ASSERT_EQ(seen[i], i);
}

}  // namespace

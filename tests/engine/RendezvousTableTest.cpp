// The rendezvous service's connection table on a scripted clock: its bounds and deadlines at
// their exact values, one below and one above. No sockets (conn numbers are only names).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "server/Rendezvous.h"
#include "server/ServerState.h"

namespace {

using Ms = RendezvousTable::Ms;
constexpr Ms kT0 = 1000000;  // any steady-clock time
constexpr uint32_t kHostA = 0x0200007f, kHostB = 0x0300007f;

std::vector<int> Expired(RendezvousTable& t, Ms now) {
  std::vector<int> done;
  t.Expire(now, &done);
  std::sort(done.begin(), done.end());
  return done;
}

std::vector<int> Awaiting(const RendezvousTable& t) {
  std::vector<int> conns;
  t.Awaiting(&conns);
  std::sort(conns.begin(), conns.end());
  return conns;
}

TEST(RendezvousTable, OneAddressHoldsAtMostItsBound) {
  const int n = kRendezvousPerSource;
  struct { int held; bool next_admitted; } cases[] = {
      {n - 1, true}, {n, false}, {n + 1, false},
  };
  for (const auto& c : cases) {
    RendezvousTable t;
    int admitted = 0;
    for (int i = 0; i < c.held; ++i) admitted += t.Admit(i, kHostA, kT0);
    ASSERT_EQ(admitted, std::min(c.held, n)) << c.held;
    EXPECT_EQ(t.Admit(100, kHostA, kT0), c.next_admitted) << c.held;
    EXPECT_EQ(t.OpenFrom(kHostA), std::min(c.held + 1, n)) << c.held;
    // Another address is not held back by the first.
    EXPECT_TRUE(t.Admit(101, kHostB, kT0)) << c.held;
    // Refusals are counted, whoever they were.
    uint32_t last = 0;
    EXPECT_EQ(t.TakeRefusals(kT0, &last), std::max(0, c.held + 1 - n)) << c.held;
    if (c.held >= n) {
      EXPECT_EQ(last, kHostA);
    }
  }
  // A slot given back is free again at once.
  RendezvousTable t;
  for (int i = 0; i < n; ++i) ASSERT_TRUE(t.Admit(i, kHostA, kT0));
  char reply[300];
  ASSERT_TRUE(t.Judge(0, "init", 4, kT0, reply, sizeof reply));
  EXPECT_TRUE(t.Admit(50, kHostA, kT0));
}

TEST(RendezvousTable, FullAtTheTotalBound) {
  const int total = kRendezvousTotal;
  struct { int held; bool full; } cases[] = {{total - 1, false}, {total, true}};
  for (const auto& c : cases) {
    RendezvousTable t;
    for (int i = 0; i < c.held; ++i) ASSERT_TRUE(t.Admit(i, 0x0a000000u + i, kT0)) << i;
    EXPECT_EQ(t.Full(), c.full) << c.held;
    // One over the bound is refused even from a fresh address.
    EXPECT_EQ(t.Admit(1000, 0x0b000001u, kT0), !c.full) << c.held;
    EXPECT_EQ(static_cast<int>(t.size()), total) << c.held;
    EXPECT_TRUE(t.Full());
    EXPECT_FALSE(t.Admit(1001, 0x0b000002u, kT0));
  }
}

// A silent connection is judged at its first-bytes deadline and closed after the refresh
// delay; a request that comes one millisecond before the deadline is still judged by its
// content.
TEST(RendezvousTable, DeadlinesAtTheirExactValues) {
  const Ms d = kRendezvousFirstBytesMs, r = kRefreshDelayMs;
  {
    std::lock_guard<std::mutex> hold(g_target_mutex);
    std::strcpy(g_group, "227.0.1.1");
    g_port = 10510;
  }
  RendezvousTable t;
  ASSERT_TRUE(t.Admit(7, kHostA, kT0));
  ASSERT_TRUE(t.Admit(8, kHostA, kT0));
  EXPECT_EQ(t.NextDeadline(), kT0 + d);
  EXPECT_TRUE(Expired(t, kT0 + d - 1).empty());
  EXPECT_EQ(Awaiting(t), (std::vector<int>{7, 8}));
  char reply[300];
  EXPECT_TRUE(t.Judge(7, "init\r\n", 6, kT0 + d - 1, reply, sizeof reply));
  EXPECT_STREQ(reply, "227.0.1.1:10510\r\n");
  EXPECT_EQ(t.size(), 1u);

  EXPECT_TRUE(Expired(t, kT0 + d).empty());  // judged: a request of nothing
  EXPECT_TRUE(Awaiting(t).empty());
  EXPECT_EQ(t.NextDeadline(), kT0 + d + r);
  // Bytes that come after the deadline change nothing.
  EXPECT_FALSE(t.Judge(8, "init", 4, kT0 + d + 1, reply, sizeof reply));
  EXPECT_STREQ(reply, "");
  EXPECT_TRUE(Expired(t, kT0 + d + r - 1).empty());
  EXPECT_EQ(Expired(t, kT0 + d + r), (std::vector<int>{8}));
  EXPECT_EQ(t.size(), 0u);
  EXPECT_EQ(t.NextDeadline(), RendezvousTable::kNever);
}

TEST(RendezvousTable, RefreshRequestsWaitTheirDelayEachFromItsOwnRequest) {
  const Ms r = kRefreshDelayMs;
  RendezvousTable t;
  struct { int conn; const char* request; std::size_t n; Ms at; } requests[] = {
      {1, "go\r\n", 4, 0}, {2, "", 0, 30}, {3, "INIT", 4, 60}, {4, "ini", 3, 90},
  };
  char reply[300];
  for (const auto& q : requests) ASSERT_TRUE(t.Admit(q.conn, kHostA, kT0));
  for (const auto& q : requests) {
    EXPECT_FALSE(t.Judge(q.conn, q.request, q.n, kT0 + q.at, reply, sizeof reply)) << q.request;
    EXPECT_STREQ(reply, "");
  }
  EXPECT_FALSE(t.Judge(1, "init", 4, kT0 + 100, reply, sizeof reply)) << "judged twice";
  EXPECT_FALSE(t.Judge(99, "init", 4, kT0 + 100, reply, sizeof reply)) << "not in the table";
  for (const auto& q : requests) {
    EXPECT_EQ(t.NextDeadline(), kT0 + q.at + r);
    EXPECT_TRUE(Expired(t, kT0 + q.at + r - 1).empty()) << q.conn;
    EXPECT_EQ(Expired(t, kT0 + q.at + r), std::vector<int>{q.conn});
  }
  EXPECT_EQ(t.size(), 0u);
}

// Expire says when the last of the requests it ends was judged: by its first bytes, or by
// its silence at the first-bytes deadline.
TEST(RendezvousTable, ExpireTellsWhenItsRequestsWereJudged) {
  const Ms r = kRefreshDelayMs, d = kRendezvousFirstBytesMs;
  RendezvousTable t;
  char reply[300];
  ASSERT_TRUE(t.Admit(1, kHostA, kT0));
  ASSERT_TRUE(t.Admit(2, kHostA, kT0));
  ASSERT_TRUE(t.Admit(3, kHostB, kT0));
  ASSERT_FALSE(t.Judge(1, "go\r\n", 4, kT0 + 10, reply, sizeof reply));
  ASSERT_FALSE(t.Judge(2, "go\r\n", 4, kT0 + 20, reply, sizeof reply));
  std::vector<int> done;
  Ms judged = 0;
  t.Expire(kT0 + 10 + r - 1, &done, &judged);
  EXPECT_TRUE(done.empty());
  EXPECT_EQ(judged, INT64_MIN);
  t.Expire(kT0 + 20 + r, &done, &judged);  // both at once: the later one counts
  EXPECT_EQ(done.size(), 2u);
  EXPECT_EQ(judged, kT0 + 20);
  done.clear();
  t.Expire(kT0 + d, &done, &judged);  // 3 stayed silent: judged now, ended a delay later
  EXPECT_TRUE(done.empty());
  t.Expire(kT0 + d + r, &done, &judged);
  EXPECT_EQ(done, std::vector<int>{3});
  EXPECT_EQ(judged, kT0 + d);
}

// A refresh that began after a request was judged serves it: no further one is asked for.
// One that began at the same millisecond or before does not.
TEST(RendezvousTable, ARefreshBegunSinceTheRequestServesIt) {
  const Ms judged = kT0 + 300;
  struct { Ms began; Ms judged; int raised; } cases[] = {
      {INT64_MIN, judged, 1}, {judged - 1, judged, 1}, {judged, judged, 1},
      {judged + 1, judged, 0}, {judged + 1, RendezvousTable::kNever, 1},
  };
  const int64_t saved = g_refresh_began_ms.load();
  for (const auto& c : cases) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    g_full_refresh = 0;
    g_refresh_began_ms = c.began;
    FinishRefreshRequests({fds[0]}, c.judged);
    EXPECT_EQ(g_full_refresh.load(), c.raised) << c.began - judged;
    char b;
    EXPECT_EQ(read(fds[1], &b, 1), 0) << "the request's connection is closed either way";
    close(fds[1]);
  }
  g_refresh_began_ms = saved;
  g_full_refresh = 0;
}

// A flood is logged in one line a second at most, and no refusal is lost.
TEST(RendezvousTable, RefusalsAreReportedOnceASecondAtMost) {
  const Ms every = kRendezvousRefusalLogMs;
  RendezvousLimits one;
  one.per_source = 1;
  one.first_bytes_ms = 10 * every;
  RendezvousTable t(one);
  ASSERT_TRUE(t.Admit(1, kHostA, kT0));
  EXPECT_EQ(t.NextDeadline(), kT0 + 10 * every);
  uint32_t last = 0;
  EXPECT_EQ(t.TakeRefusals(kT0, &last), 0);

  EXPECT_FALSE(t.Admit(2, kHostA, kT0));
  EXPECT_EQ(t.NextDeadline(), INT64_MIN) << "the first refusal is reported at once";
  EXPECT_EQ(t.TakeRefusals(kT0, &last), 1);
  EXPECT_EQ(last, kHostA);
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(t.Admit(10 + i, kHostA, kT0 + 10 * i));
  EXPECT_EQ(t.NextDeadline(), kT0 + every);
  EXPECT_EQ(t.TakeRefusals(kT0 + every - 1, &last), 0);
  EXPECT_EQ(t.TakeRefusals(kT0 + every, &last), 5);
  EXPECT_EQ(t.TakeRefusals(kT0 + every, &last), 0);
  // Quiet for longer than a second: the next one is reported at once again.
  EXPECT_FALSE(t.Admit(20, kHostA, kT0 + 3 * every));
  EXPECT_EQ(t.TakeRefusals(kT0 + 3 * every, &last), 1);
}

}  // namespace

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Common/ClientSocket.h"
#include "platform/ExePath.h"
#include "platform/Socket.h"
#include "platform/Thread.h"
#include "server/Rendezvous.h"
#include "server/ServerState.h"
#include "tests/support/TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The service runs for the whole process, as in the server.
void StartService() {
  static std::once_flag once;
  std::call_once(once, [] {
    long tid = 0;
    ASSERT_TRUE(StartThread(RendezvousThread, nullptr, &tid));
    // Listening once a connection succeeds.
    ASSERT_TRUE(testsupport::WaitFor(
        [] {
          int s = ConnectTo("127.0.0.1", kRendezvousPort);
          if (s == INVALID_SOCKET) return false;
          SendBytes(s, "init", 4);
          char b[300];
          while (recv(s, b, sizeof b, 0) > 0) {
          }
          CloseSocket(s);
          return true;
        },
        std::chrono::seconds(5)));
  });
}

// Sends request (nullptr: nothing, just close our side of the sending), reads until the
// server closes. Returns what it answered.
std::string Exchange(const char* request, std::size_t n) {
  int s = ConnectTo("127.0.0.1", kRendezvousPort);
  EXPECT_NE(s, INVALID_SOCKET);
  if (s == INVALID_SOCKET) return "<no connection>";
  if (request && n) SendBytes(s, request, static_cast<int>(n));
  if (!request) shutdown(s, SHUT_WR);
  std::string reply;
  char b[512];
  for (;;) {
    ssize_t got = recv(s, b, sizeof b, 0);
    if (got <= 0) break;
    reply.append(b, static_cast<std::size_t>(got));
  }
  CloseSocket(s);
  return reply;
}

class RendezvousTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_NETWORK();
    StartService();
    std::lock_guard<std::mutex> hold(g_target_mutex);
    strcpy(g_group, "227.0.1.1");
    g_port = 10510;
  }
};

TEST_F(RendezvousTest, InitIsAnsweredWithTheTargetAndTheServerCloses) {
  EXPECT_EQ(Exchange("init\r\n", 6), "227.0.1.1:10510\r\n");
  {
    std::lock_guard<std::mutex> hold(g_target_mutex);
    strcpy(g_group, "227.0.2.5");
    g_port = 4000;
  }
  EXPECT_EQ(Exchange("init\r\n", 6), "227.0.2.5:4000\r\n") << "a changed target is answered";
}

TEST_F(RendezvousTest, EverythingElseAsksForARefreshAbout200msLater) {
  struct { const char* request; std::size_t n; bool init; } cases[] = {
      {"initXYZ", 7, true},  {"init", 4, true},   {"INIT\r\n", 6, false},
      {"ini", 3, false},     {"go\r\n", 4, false}, {nullptr, 0, false},  // closes silently
  };
  for (auto& c : cases) {
    g_full_refresh = 0;
    const auto t0 = Clock::now();
    std::string reply = Exchange(c.request, c.n);
    const auto answered = Clock::now() - t0;
    const char* what = c.request ? c.request : "(nothing)";
    if (c.init) {
      EXPECT_EQ(reply, "227.0.1.1:10510\r\n") << what;
      EXPECT_EQ(g_full_refresh.load(), 0) << what;
    } else {
      EXPECT_EQ(reply, "") << what;
      // The flag is set after the pause, before the connection is closed.
      EXPECT_EQ(g_full_refresh.load(), 1) << what;
      EXPECT_GE(answered, milliseconds(190)) << what;
      EXPECT_LT(answered, milliseconds(1500)) << what;
    }
  }
}

// True when the server closes (or resets) s within the limit; a reply, if any, is read over.
bool ClosedWithin(int s, milliseconds limit) {
  bool closed = false;
  testsupport::ReadUntilClosed(s, static_cast<int>(limit.count()), &closed);
  return closed;
}

// "init" on an open connection; the reply ("" when none came within the limit).
std::string InitOn(int s, milliseconds limit = milliseconds(1000)) {
  if (SendBytes(s, "init\r\n", 6) != 6) return "<not sent>";
  return testsupport::ReadUntilClosed(s, static_cast<int>(limit.count()));
}

// The process's descriptors once the service has closed what it answered last (a client sees
// the end of a reply a moment before the service's close).
int Baseline() {
  std::this_thread::sleep_for(milliseconds(50));
  return testsupport::CountFds(getpid());
}

// Descriptors the service holds: the process's own minus the baseline and the test's sockets.
int HeldByService(int baseline, std::size_t clients) {
  return testsupport::CountFds(getpid()) - baseline - static_cast<int>(clients);
}

double ProcessCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

std::string Address(int a, int b, int c) {
  return "127." + std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c);
}

// A silent client is given up at its first-bytes deadline and closed once its refresh delay
// has passed, and meanwhile holds nobody else.
TEST_F(RendezvousTest, SilentClientIsGivenUpAtItsDeadlineAndHoldsNobody) {
  g_full_refresh = 0;
  const auto t0 = Clock::now();
  int silent = ConnectTo("127.0.0.1", kRendezvousPort);
  ASSERT_NE(silent, INVALID_SOCKET);
  std::this_thread::sleep_for(milliseconds(50));  // the service has taken it
  const auto asked = Clock::now();
  EXPECT_EQ(Exchange("init\r\n", 6), "227.0.1.1:10510\r\n");
  EXPECT_LT(Clock::now() - asked, milliseconds(250)) << "the init waited for the silent one";
  EXPECT_EQ(g_full_refresh.load(), 0);
  EXPECT_TRUE(ClosedWithin(silent, milliseconds(2000)));
  const auto closed = Clock::now() - t0;
  // The flag goes up before the close.
  EXPECT_EQ(g_full_refresh.load(), 1);
  EXPECT_GE(closed, milliseconds(kRendezvousFirstBytesMs + kRefreshDelayMs - 10));
  EXPECT_LT(closed, milliseconds(kRendezvousFirstBytesMs + kRefreshDelayMs + 300));
  CloseSocket(silent);
}

// One address may hold kRendezvousPerSource connections; the next one is closed at once,
// while other addresses are still served. Rows: connections held before the probe.
TEST_F(RendezvousTest, OneAddressHoldsAtMostItsBound) {
  const int n = kRendezvousPerSource;
  struct { int held; bool init_from_same_answered; } rows[] = {
      {n - 1, true}, {n, false}, {n + 1, false},
  };
  const int baseline = Baseline();
  int row = 0;
  for (const auto& r : rows) {
    // The last row's connections, closed by their clients, are let go after the refresh delay.
    ASSERT_TRUE(testsupport::WaitFor([&] { return HeldByService(baseline, 0) == 0; },
                                     milliseconds(1000)));
    const std::string host = Address(0, 2, ++row);  // a fresh address for every row
    std::vector<int> held;
    for (int i = 0; i < r.held; ++i) {
      const int s = testsupport::ConnectFrom(host.c_str(), "127.0.0.1", kRendezvousPort);
      ASSERT_GE(s, 0);
      held.push_back(s);
    }
    std::this_thread::sleep_for(milliseconds(100));
    int closed_at_once = 0;
    char b[16];
    for (int s : held) closed_at_once += recv(s, b, sizeof b, MSG_DONTWAIT) == 0;
    EXPECT_EQ(closed_at_once, std::max(0, r.held - n)) << r.held;
    EXPECT_EQ(HeldByService(baseline, held.size()), std::min(r.held, n)) << r.held;
    // The next connection from the same address: the n-th is served, the (n+1)-th refused.
    const int same = testsupport::ConnectFrom(host.c_str(), "127.0.0.1", kRendezvousPort);
    ASSERT_GE(same, 0);
    EXPECT_EQ(InitOn(same), r.init_from_same_answered ? "227.0.1.1:10510\r\n" : "") << r.held;
    CloseSocket(same);
    const int other = testsupport::ConnectFrom("127.0.0.9", "127.0.0.1", kRendezvousPort);
    EXPECT_EQ(InitOn(other), "227.0.1.1:10510\r\n") << r.held;
    CloseSocket(other);
    for (int s : held) CloseSocket(s);
  }
}

// With kRendezvousTotal connections open the service takes no more: the next ones wait in
// the backlog until a slot is given back. A long first-bytes deadline keeps the held ones
// open however slowly a sanitized build opens them.
TEST_F(RendezvousTest, NoMoreThanTheTotalBoundAreOpen) {
  const int port = kRendezvousPort + 1;
  RendezvousLimits limits;
  limits.first_bytes_ms = 20000;
  const int listener = OpenRendezvousListener(port);
  ASSERT_NE(listener, INVALID_SOCKET);
  std::thread([listener, limits] { ServeRendezvous(listener, limits); }).detach();
  const int total = kRendezvousTotal;
  const int baseline = Baseline();
  struct { int held; bool waits; } rows[] = {{total - 1, false}, {total, true}, {total + 1, true}};
  int row = 0;
  for (const auto& r : rows) {
    ++row;
    std::vector<int> held;
    for (int i = 0; i < r.held; ++i) {
      const int s = testsupport::ConnectFrom(Address(2 + row, i / 200, i % 200 + 1).c_str(),
                                             "127.0.0.1", port);
      ASSERT_GE(s, 0) << i;
      held.push_back(s);
    }
    const int in_table = std::min(r.held, total);
    EXPECT_TRUE(testsupport::WaitFor(
        [&] { return HeldByService(baseline, held.size()) == in_table; }, milliseconds(1000)))
        << r.held << ": " << HeldByService(baseline, held.size());
    const int init = testsupport::ConnectFrom("127.0.0.9", "127.0.0.1", port);
    ASSERT_GE(init, 0) << "the backlog takes the connection while the table is full";
    if (!r.waits) {
      EXPECT_EQ(InitOn(init, milliseconds(500)), "227.0.1.1:10510\r\n") << r.held;
    } else {
      // Waiting costs the service nothing: it does not spin on the pending connection.
      const double cpu_before = ProcessCpuMs();
      EXPECT_EQ(InitOn(init, milliseconds(300)), "") << r.held << ": answered beyond the bound";
      EXPECT_LT(ProcessCpuMs() - cpu_before, 100) << r.held << ": the service spun while full";
      EXPECT_EQ(HeldByService(baseline, held.size() + 1), total) << r.held;
      // Two clients leave: their slots come free after the refresh delay, and whatever waited
      // in the backlog is taken, the init with it.
      const auto left = Clock::now();
      CloseSocket(held[0]);
      CloseSocket(held[1]);
      held.erase(held.begin(), held.begin() + 2);
      EXPECT_EQ(testsupport::ReadUntilClosed(init, 2000), "227.0.1.1:10510\r\n") << r.held;
      EXPECT_GE(Clock::now() - left, milliseconds(kRefreshDelayMs - 10)) << r.held;
      EXPECT_LT(Clock::now() - left, milliseconds(kRefreshDelayMs + 300)) << r.held;
    }
    CloseSocket(init);
    for (int s : held) CloseSocket(s);
    EXPECT_TRUE(testsupport::WaitFor([&] { return HeldByService(baseline, 0) == 0; },
                                     milliseconds(2000)))
        << r.held;
  }
}

TEST_F(RendezvousTest, SecondListenerOnThePortFailsWithItsReport) {
  testsupport::TempDir dir;
  SetExecutablePathForTest(dir / "varno");
  EXPECT_EQ(OpenRendezvousListener(kRendezvousPort), INVALID_SOCKET);
  std::string log;
  testsupport::Run("cat '" + dir.path() + "'/varno-*.log", &log);
  EXPECT_NE(log.find("ASSERT(res != SOCKET_ERROR) failed ERROR: Address already in use"),
            std::string::npos) << log;
  EXPECT_NE(log.find("in module [server/varno:174]."), std::string::npos) << log;
}

TEST_F(RendezvousTest, ReplyNeverMixesTwoTargets) {
  std::atomic<bool> stop{false};
  {
    std::lock_guard<std::mutex> hold(g_target_mutex);
    strcpy(g_group, "227.0.0.7");
    g_port = 7;
  }
  // Plays the settings dialog: alternates two targets, each written as one pair.
  std::thread dialog([&] {
    bool a = false;
    while (!stop) {
      {
        std::lock_guard<std::mutex> hold(g_target_mutex);
        strcpy(g_group, a ? "227.0.0.7" : "239.255.100.200");
        g_port = a ? 7 : 65000;
      }
      a = !a;
    }
  });
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) seen.insert(Exchange("init", 4));
  stop = true;
  dialog.join();
  for (const std::string& s : seen)
    EXPECT_TRUE(s == "227.0.0.7:7\r\n" || s == "239.255.100.200:65000\r\n") << s;
}

TEST(RendezvousRequest, OnlyTheFirstFourBytesCount) {
  struct { const char* request; std::size_t n; bool init; } cases[] = {
      {"init", 4, true}, {"init\r\n", 6, true}, {"initialise", 10, true}, {"Init", 4, false},
      {"ini", 3, false}, {"", 0, false},        {"\0init", 5, false},     {"init", 3, false},
  };
  char reply[300];
  for (auto& c : cases) {
    EXPECT_EQ(HandleRendezvousRequest(c.request, c.n, reply, sizeof reply), c.init) << c.request;
    if (!c.init) {
      EXPECT_STREQ(reply, "");
    }
  }
  // The longest group text still fits and ends the reply properly.
  {
    std::lock_guard<std::mutex> hold(g_target_mutex);
    memset(g_group, 'x', kTextBytes - 1);
    g_group[kTextBytes - 1] = 0;
    g_port = 65535;
  }
  ASSERT_TRUE(HandleRendezvousRequest("init", 4, reply, sizeof reply));
  EXPECT_EQ(strlen(reply), 259u + 8u);
  EXPECT_EQ(std::string(reply + 259), ":65535\r\n");
  std::lock_guard<std::mutex> hold(g_target_mutex);
  strcpy(g_group, "227.0.1.1");
  g_port = 10510;
}

}  // namespace

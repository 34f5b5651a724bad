// The real varno's rendezvous service against hostile clients, in a private network
// namespace: each abuse is followed by a well-behaved "init" that must be answered within a
// second of the abuse ending, the server must still be running, its descriptors must be as
// many as before, and a burst must not turn into more than one full refresh per screen tick.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <set>
#include <string>
#include <thread>

#include "tests/hardening/Harness.h"

using namespace std::chrono_literals;
using namespace hardening;
using testsupport::TempDir;
using testsupport::WaitFor;
using testsupport::Xvfb;

namespace {
const char kHost[] = "127.0.0.1";
const char kReply[] = "227.0.1.1:10510\r\n";
constexpr int kScreenTickMs = 200;  // RateScreen's default

int Connect(bool nonblocking = false) {
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0), 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(10510);
  inet_aton(kHost, &a.sin_addr);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && !nonblocking) {
    close(s);
    return -1;
  }
  return s;
}

// True when the server closed (or reset) the connection within the limit.
bool ClosedByServer(int s, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  char buf[256];
  while (Clock::now() < end) {
    pollfd p{s, POLLIN, 0};
    if (poll(&p, 1, 50) != 1) continue;
    if (recv(s, buf, sizeof buf, MSG_DONTWAIT) <= 0) return true;
  }
  return false;
}

void ResetOnClose(int s) {
  linger l{1, 0};
  setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close(s);
}

class HostilePeer : public testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_NETWORK();
    ASSERT_TRUE(x.ok());
    ASSERT_TRUE(trayer.ok()) << "trayer did not start";
    server = std::make_unique<Server>(x, dir);
    ASSERT_TRUE(WaitForService(kHost, 15s)) << server->Log();
    // The first refresh and the icon's first paints are behind us before counting.
    std::this_thread::sleep_for(1s);
    ASSERT_FALSE(Init(kHost, nullptr).empty());
    std::this_thread::sleep_for(300ms);
    fds_before = ResourcesOf(server->pid()).fds;
    ASSERT_GT(fds_before, 0);
  }

  // After an abuse that ended at `end`: the answer time, the server alive, no descriptor kept.
  // bound_ms: a second; twice that when the server runs under a sanitizer, several times
  // slower (an init that meets a full accept queue also waits for TCP's 1 s SYN retry).
  void ExpectServiceRecovered(Clock::time_point end, const char* abuse) {
    const double bound_ms = kSanitizedBuild ? 2000 : 1000;
    double ms = 0;
    const std::string reply = Init(kHost, &ms, 5000);
    const double since_end = MsSince(end);
    std::printf("[measure] %s: init answered %.0f ms after the abuse ended (exchange %.0f ms)\n",
                abuse, since_end, ms);
    EXPECT_EQ(reply, kReply) << abuse;
    EXPECT_LE(since_end, bound_ms) << abuse;
    ASSERT_TRUE(server->running()) << abuse << " ended the server\n" << server->Log();
    // Closed connections may take a moment to leave the process.
    int fds = -1;
    WaitFor([&] { return (fds = ResourcesOf(server->pid()).fds) <= fds_before; }, 3s);
    std::printf("[measure] %s: descriptors %d before, %d after\n", abuse, fds_before, fds);
    EXPECT_EQ(fds, fds_before) << abuse;
  }

  void TearDown() override {
    if (!server) return;
    server->child().Kill(15);
    int status = -1;
    EXPECT_TRUE(server->child().Wait(10s, &status));
    EXPECT_EQ(status, 0) << "varno did not end cleanly (128+13 would be SIGPIPE)\n"
                         << server->Log();
  }

  Xvfb x{320, 240, 24};
  Trayer trayer{x};
  TempDir dir;
  std::unique_ptr<Server> server;
  int fds_before = -1;
};

TEST_F(HostilePeer, SilentClientIsGivenUpAfterItsBound) {
  const int silent = Connect();
  ASSERT_GE(silent, 0);
  const auto connected = Clock::now();
  // An "init" that arrives while the silent client holds the service waits for its bound.
  double ms = 0;
  const std::string reply = Init(kHost, &ms, 6000);
  EXPECT_EQ(reply, kReply);
  // The server dropped the silent client at its 2 s bound; that is when this abuse ends.
  EXPECT_TRUE(ClosedByServer(silent, 1s));
  std::printf("[measure] silent client: a waiting init answered %.0f ms after the connect\n",
              MsSince(connected));
  EXPECT_LE(MsSince(connected), 2000 + 1000);
  close(silent);
  ExpectServiceRecovered(connected + 2000ms, "silent client");
}

TEST_F(HostilePeer, ClientThatSendsAByteASecondIsServedByItsFirstByte) {
  const int slow = Connect();
  ASSERT_GE(slow, 0);
  int sent = 0;
  Clock::time_point end;
  for (int i = 0; i < 8; ++i) {  // bounded: 8 bytes, 8 seconds at most
    if (send(slow, "i", 1, MSG_NOSIGNAL) != 1) break;
    ++sent;
    end = Clock::now();
    if (ClosedByServer(slow, 1s)) break;
  }
  close(slow);
  std::printf("[measure] byte a second: the server closed after %d byte(s)\n", sent);
  EXPECT_LE(sent, 2) << "the trickle held the service";
  ExpectServiceRecovered(end, "byte a second");
}

TEST_F(HostilePeer, SixtyFourKibRequestIsCutAtItsFirstPiece) {
  const int big = Connect();
  ASSERT_GE(big, 0);
  const std::string junk(64 * 1024, 'J');
  std::size_t done = 0;
  const auto start = Clock::now();
  while (done < junk.size() && MsSince(start) < 5000) {
    const ssize_t n = send(big, junk.data() + done, junk.size() - done, MSG_NOSIGNAL);
    if (n <= 0) break;  // reset by the server once it has read its 260 bytes
    done += static_cast<std::size_t>(n);
  }
  ClosedByServer(big, 2s);
  close(big);
  const auto end = Clock::now();
  ExpectServiceRecovered(end, "64 KiB request");
}

TEST_F(HostilePeer, InitThenResetNeverKillsTheServer) {
  // Alone, and queued behind a client that holds the service for half a second so that the
  // reset has landed before the reply is sent.
  for (int round = 0; round < 20; ++round) {
    int holder = -1;
    if (round % 4 == 0) holder = Connect();
    const int s = Connect();
    ASSERT_GE(s, 0);
    ASSERT_EQ(send(s, "init\r\n", 6, MSG_NOSIGNAL), 6);
    ResetOnClose(s);
    if (holder >= 0) {
      std::this_thread::sleep_for(500ms);
      close(holder);
    }
  }
  ExpectServiceRecovered(Clock::now(), "init then reset");
}

TEST_F(HostilePeer, BurstOfAThousandJunkConnections) {
  Listener listener("227.0.1.1", 10510);
  ASSERT_TRUE(listener.ok());
  std::this_thread::sleep_for(500ms);
  const auto start = Clock::now();
  int opened = 0;
  for (int i = 0; i < 1000 && MsSince(start) < 10000; ++i) {
    const int s = Connect(true);
    if (s < 0) continue;
    ++opened;
    pollfd p{s, POLLOUT, 0};
    if (poll(&p, 1, 2) == 1) send(s, "junk\x00\xff junk", 11, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (i % 3 == 0) ResetOnClose(s);
    else close(s);
  }
  const auto end = Clock::now();
  std::printf("[measure] burst: %d connections in %.0f ms\n", opened, MsSince(start));
  EXPECT_EQ(opened, 1000);
  ExpectServiceRecovered(end, "1000-connection burst");
  // Every refresh the burst caused has been sent by now.
  std::this_thread::sleep_for(2s);
  const auto stop = Clock::now();
  const int areas = listener.Areas(start, stop);
  const double ticks = std::chrono::duration<double, std::milli>(stop - start).count() /
                       kScreenTickMs;
  std::printf("[measure] burst: %d full refreshes in %.1f screen ticks\n", areas, ticks);
  EXPECT_GE(areas, 1) << "junk is a refresh request";
  EXPECT_LE(areas, static_cast<int>(ticks) + 1);
  // No two refreshes within one tick (the timer may fire a little early).
  const auto times = listener.Areas();
  for (std::size_t i = 1; i < times.size(); ++i) {
    const double gap = std::chrono::duration<double, std::milli>(times[i] - times[i - 1]).count();
    EXPECT_GE(gap, kScreenTickMs * 0.75);
  }
}

// With no descriptor left to accept with, the service waits and retries instead of ending.
TEST_F(HostilePeer, AcceptWithoutDescriptorsKeepsTheServiceGoing) {
  const std::string pid = std::to_string(server->pid());
  std::string limits;
  testsupport::Run("prlimit --pid " + pid + " --nofile --raw --noheadings -o SOFT,HARD", &limits);
  long soft = 0, hard = 0;
  ASSERT_EQ(std::sscanf(limits.c_str(), "%ld %ld", &soft, &hard), 2) << limits;
  // The lowest free descriptor number becomes the limit: accept fails with EMFILE.
  std::string open_fds;
  testsupport::Run("ls /proc/" + pid + "/fd", &open_fds);
  std::set<long> used;
  for (std::size_t p = 0; p < open_fds.size();) {
    used.insert(std::atol(open_fds.c_str() + p));
    p = open_fds.find('\n', p);
    if (p == std::string::npos) break;
    ++p;
  }
  long lowest_free = 0;
  while (used.count(lowest_free)) ++lowest_free;
  ASSERT_EQ(testsupport::Run("prlimit --pid " + pid + " --nofile=" + std::to_string(lowest_free) +
                             ":" + std::to_string(hard)), 0);
  // A blocked accept holds the descriptor it reserved before the limit came down: the first
  // connection is served with it, the next one finds none.
  double ms = 0;
  EXPECT_EQ(Init(kHost, &ms, 1500), kReply);
  EXPECT_EQ(Init(kHost, &ms, 1500), "") << "answered without a descriptor to answer on";
  std::this_thread::sleep_for(500ms);
  ASSERT_EQ(testsupport::Run("prlimit --pid " + pid + " --nofile=" + std::to_string(soft) + ":" +
                             std::to_string(hard)), 0);
  const auto end = Clock::now();
  ExpectServiceRecovered(end, "no descriptors (EMFILE)");
}

}  // namespace

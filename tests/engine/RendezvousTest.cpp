#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>

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

TEST_F(RendezvousTest, SilentClientDoesNotHoldTheServiceBeyondTheBound) {
  int silent = ConnectTo("127.0.0.1", kRendezvousPort);
  ASSERT_NE(silent, INVALID_SOCKET);
  std::this_thread::sleep_for(milliseconds(50));  // the service is now waiting on it
  g_full_refresh = 0;
  const auto t0 = Clock::now();
  EXPECT_EQ(Exchange("init\r\n", 6), "227.0.1.1:10510\r\n");
  const auto waited = Clock::now() - t0;
  EXPECT_LT(waited, milliseconds(2500));
  EXPECT_GE(waited, milliseconds(1500));
  // The silent one counted as a refresh request, and was closed.
  EXPECT_EQ(g_full_refresh.load(), 1);
  char b[16];
  EXPECT_EQ(recv(silent, b, sizeof b, 0), 0);
  CloseSocket(silent);
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

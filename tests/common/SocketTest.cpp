// TCP client and multicast sockets, inside a private network namespace (tests/netns-run).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <cstring>
#include <string>
#include <vector>

#include "Common/ClientSocket.h"
#include "Common/FailureThrottle.h"
#include "Common/Log.h"
#include "Common/MulticastSocket.h"
#include "Common/Registry.h"
#include "platform/LastError.h"
#include "platform/Socket.h"
#include "tests/common/CommonTestUtil.h"

using namespace commontest;
using testsupport::CountFds;
using testsupport::TempDir;

namespace {
const char kStamp[] = "[2003/12/12-15:12:49] ";

// A TCP listener on 127.0.0.1 at a free port.
class Listener {
 public:
  explicit Listener(int backlog = 8) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    listen(fd_, backlog);
    socklen_t len = sizeof sa;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
  }
  ~Listener() { close(fd_); }
  int port() const { return port_; }
  int Accept() { return accept(fd_, nullptr, nullptr); }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A port that nobody listens on: bound once, then released.
int ClosedPort() {
  Listener l;
  return l.port();
}

// Reads what arrives until the peer closes (or 2 s pass).
std::string ReadAll(int fd) {
  std::string all;
  char buf[4096];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 2000) <= 0) break;
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    all.append(buf, static_cast<std::size_t>(n));
  }
  return all;
}

// One datagram within limit_ms, or "" when none came.
std::string ReceiveDatagram(int fd, int limit_ms = 1000) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, limit_ms) <= 0) return "";
  char buf[65536];
  const ssize_t n = recv(fd, buf, sizeof buf, 0);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "";
}

int IntOption(int fd, int level, int name) {
  int value = -1;
  socklen_t len = sizeof value;
  getsockopt(fd, level, name, &value, &len);
  return value;
}

class SocketTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testsupport::InPrivateNetwork()) << "run this test through tests/netns-run";
    setenv("ORVANE_REGISTRY", registry_.path().c_str(), 1);
  }
  LogPlace place_;
  TempDir registry_;
  StderrCapture err_;  // the reports' debug copies stay out of the test output
};

int g_port = 41510;
int NextPort() { return g_port++; }
}  // namespace

TEST_F(SocketTest, ConnectSendAndReceive) {
  Listener listener;
  // "127.1" is a dotted quad to inet_aton: no name query is made.
  for (const char* host : {"127.0.0.1", "127.1", "localhost"}) {
    const int client = ConnectTo(host, listener.port());
    ASSERT_NE(client, INVALID_SOCKET) << host;
    const int server = listener.Accept();
    ASSERT_GE(server, 0);
    EXPECT_EQ(SendText(client, "%s:%d\r\n", "227.0.1.1", 10510), 17);
    close(client);
    EXPECT_EQ(ReadAll(server), "227.0.1.1:10510\r\n");
    close(server);
  }
  EXPECT_FALSE(FileExists(place_.LogPath()));
}

TEST_F(SocketTest, ReceiveZeroesItsBufferAndFillsAtMostSize) {
  Listener listener;
  const int client = ConnectTo("127.0.0.1", listener.port());
  ASSERT_NE(client, INVALID_SOCKET);
  const int server = listener.Accept();
  ASSERT_GE(server, 0);

  char buffer[261];
  std::memset(buffer, 0xAA, sizeof buffer);
  ASSERT_EQ(SendBytes(client, "init\r\n", 6), 6);
  ASSERT_TRUE(WaitReadable(server, 2000));
  ASSERT_EQ(Receive(server, buffer, 260), 6);
  EXPECT_EQ(std::string(buffer, 6), "init\r\n");
  for (int i = 6; i < 260; ++i) ASSERT_EQ(buffer[i], 0) << i;
  EXPECT_EQ(static_cast<unsigned char>(buffer[260]), 0xAA);  // nothing past size

  const std::string full(260, 'z');
  ASSERT_EQ(SendBytes(client, full.data(), 260), 260);
  int got = 0;
  while (got < 260) {  // a stream may deliver it in pieces
    ASSERT_TRUE(WaitReadable(server, 2000));
    const int n = Receive(server, buffer + got, 260 - got);
    ASSERT_GT(n, 0);
    got += n;
  }
  EXPECT_EQ(std::string(buffer, 260), full);  // not terminated
  EXPECT_EQ(static_cast<unsigned char>(buffer[260]), 0xAA);

  close(client);
  ASSERT_TRUE(WaitReadable(server, 2000));
  EXPECT_EQ(Receive(server, buffer, 260), 0);
  close(server);

  // Nothing arrives: WaitReadable gives up with ETIMEDOUT.
  const int idle = ConnectTo("127.0.0.1", listener.port());
  ASSERT_NE(idle, INVALID_SOCKET);
  EXPECT_FALSE(WaitReadable(idle, 50));
  EXPECT_EQ(GetLastError(), ETIMEDOUT);
  close(idle);
}

TEST_F(SocketTest, ReceiveFailureGoesToTheDebugStreamOnly) {
  char buffer[16];
  std::memset(buffer, 0x55, sizeof buffer);
  EXPECT_EQ(Receive(-1, buffer, sizeof buffer), -1);
  EXPECT_EQ(GetLastError(), EBADF);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(Receive(0, nullptr, 10), -1);
  err_.Restore();
  EXPECT_EQ(err_.text(),
            "** ERROR: recv - Bad file descriptor\n** ERROR: recv - Invalid argument\n");
  EXPECT_FALSE(FileExists(place_.LogPath()));
}

TEST_F(SocketTest, OverlongTextIsRefusedWhole) {
  Listener listener;
  const int client = ConnectTo("127.0.0.1", listener.port());
  ASSERT_NE(client, INVALID_SOCKET);
  const int server = listener.Accept();
  const std::string big(9000, 'q');
  EXPECT_EQ(SendText(client, "%s", big.c_str()), 0);
  EXPECT_EQ(GetLastError(), EMSGSIZE);
  // 8191 characters still fit.
  const std::string most(8191, 'r');
  EXPECT_EQ(SendText(client, "%s", most.c_str()), 8191);
  close(client);
  EXPECT_EQ(ReadAll(server), most);
  close(server);
  const std::vector<std::string> lines = Lines(place_.Log());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], std::string(kStamp) + "ASSERT(bytes != SOCKET_ERROR) failed ERROR: Message too long\n");
  EXPECT_EQ(lines[1].rfind(std::string(kStamp) + "  in module [Common/ClientSocket:", 0), 0u);
}

TEST_F(SocketTest, SendToAClosedPeerReportsEpipeWithoutSignal) {
  signal(SIGPIPE, SIG_DFL);  // MSG_NOSIGNAL alone must keep the process alive
  Listener listener;
  const int client = ConnectTo("127.0.0.1", listener.port());
  ASSERT_NE(client, INVALID_SOCKET);
  close(listener.Accept());
  int result = 1;
  for (int i = 0; i < 100 && result != 0; ++i) {
    result = SendBytes(client, "go\r\n", 4);
    usleep(10000);
  }
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(GetLastError() == EPIPE || GetLastError() == ECONNRESET) << GetLastError();
  EXPECT_NE(place_.Log().find("ASSERT(bytes != SOCKET_ERROR) failed ERROR: "), std::string::npos);
  close(client);
  signal(SIGPIPE, SIG_IGN);
}

TEST_F(SocketTest, UnresolvableHostReportsHost) {
  const int before = CountFds(getpid());
  EXPECT_EQ(ConnectTo("no-such-host.invalid", 10510), INVALID_SOCKET);
  const int code = GetLastError();
  EXPECT_GE(code, kResolverBase);
  EXPECT_LT(code, kSqliteBase);
  std::string text;
  ASSERT_TRUE(SystemText(code, text));
  EXPECT_EQ(CountFds(getpid()), before);
  const std::vector<std::string> lines = Lines(place_.Log());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], std::string(kStamp) + "ASSERT(host) failed ERROR: " + text + "\n");
  EXPECT_EQ(lines[1].rfind(std::string(kStamp) + "  in module [Common/ClientSocket:", 0), 0u);
}

TEST_F(SocketTest, ThousandRefusedConnectsLeakNothing) {
  const int port = ClosedPort();
  const int before = CountFds(getpid());
  ASSERT_GT(before, 0);
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(ConnectTo("127.0.0.1", port), INVALID_SOCKET);
    ASSERT_EQ(GetLastError(), ECONNREFUSED);
  }
  EXPECT_EQ(CountFds(getpid()), before);
  const std::vector<std::string> lines = Lines(place_.Log());
  ASSERT_EQ(lines.size(), 2000u);
  EXPECT_EQ(lines[0], std::string(kStamp) +
                          "ASSERT(res != SOCKET_ERROR) failed ERROR: Connection refused\n");
}

TEST_F(SocketTest, MulticastSendAndReceiveOnOnePort) {
  const int port = NextPort();
  const int sender = OpenMulticastSender(port, "");
  ASSERT_NE(sender, INVALID_SOCKET);
  const int first = OpenMulticastReceiver("227.0.1.1", port);
  const int second = OpenMulticastReceiver("227.0.1.1", port);
  ASSERT_NE(first, INVALID_SOCKET);
  ASSERT_NE(second, INVALID_SOCKET);

  // The sender is bound to the wildcard address and the given port.
  sockaddr_in bound{};
  socklen_t len = sizeof bound;
  ASSERT_EQ(getsockname(sender, reinterpret_cast<sockaddr*>(&bound), &len), 0);
  EXPECT_EQ(bound.sin_addr.s_addr, htonl(INADDR_ANY));
  EXPECT_EQ(ntohs(bound.sin_port), port);
  EXPECT_EQ(IntOption(first, IPPROTO_IP, IP_MULTICAST_ALL), 0);

  std::string datagram(1400, '\0');
  for (std::size_t i = 0; i < datagram.size(); ++i) datagram[i] = static_cast<char>(i * 7);
  EXPECT_EQ(SendDatagram(sender, "227.0.1.1", port, datagram.data(), 1400), 1400);
  EXPECT_EQ(ReceiveDatagram(first), datagram);
  EXPECT_EQ(ReceiveDatagram(second), datagram);
  close(sender);
  close(first);
  close(second);
  EXPECT_FALSE(FileExists(place_.LogPath()));
}

TEST_F(SocketTest, ReceiverSeesOnlyItsOwnGroup) {
  const int port = NextPort();
  const int sender = OpenMulticastSender(port, "");
  const int mine = OpenMulticastReceiver("227.0.1.1", port);
  const int other = OpenMulticastReceiver("227.0.1.2", port);
  ASSERT_NE(sender, INVALID_SOCKET);
  ASSERT_NE(mine, INVALID_SOCKET);
  ASSERT_NE(other, INVALID_SOCKET);
  EXPECT_EQ(SendDatagram(sender, "227.0.1.2", port, "for two", 7), 7);
  EXPECT_EQ(ReceiveDatagram(other), "for two");
  EXPECT_EQ(ReceiveDatagram(mine, 200), "");
  close(sender);
  close(mine);
  close(other);
}

TEST_F(SocketTest, BadGroupTextsFailAndReport) {
  FailureThrottle sends;
  SetSendFailureThrottleForTest(&sends);
  const int port = NextPort();
  const int sender = OpenMulticastSender(port, "");
  ASSERT_NE(sender, INVALID_SOCKET);
  const int before = CountFds(getpid());
  for (const char* group : {"not-a-group", "227.0.1.300", "localhost"}) {
    EXPECT_EQ(SendDatagram(sender, group, port, "x", 1), 0) << group;
    EXPECT_EQ(GetLastError(), EINVAL);
    EXPECT_EQ(OpenMulticastReceiver(group, port), INVALID_SOCKET) << group;
    EXPECT_EQ(GetLastError(), EINVAL);
  }
  // A unicast address parses but cannot be joined.
  EXPECT_EQ(OpenMulticastReceiver("127.0.0.1", port), INVALID_SOCKET);
  EXPECT_NE(GetLastError(), 0);
  EXPECT_EQ(OpenMulticastSender(port, "bad iface"), INVALID_SOCKET);
  EXPECT_EQ(GetLastError(), EINVAL);
  EXPECT_EQ(CountFds(getpid()), before);
  // Two lines for each failed open, and for the first of the failed sends: the others follow
  // within a second and are only counted.
  EXPECT_EQ(Lines(place_.Log()).size(), 2u * 6);
  close(sender);
  SetSendFailureThrottleForTest(nullptr);
}

// A sender whose every datagram fails (port 0) writes the failure report once, then at most
// one line a second with the count, however many datagrams fail meanwhile.
TEST_F(SocketTest, RepeatedSendFailuresWriteAtMostOneLineASecond) {
  FailureThrottle::TimePoint now{};
  FailureThrottle sends(std::chrono::seconds(1), [&] { return now; });
  SetSendFailureThrottleForTest(&sends);
  const int port = NextPort();
  const int sender = OpenMulticastSender(port, "");
  ASSERT_NE(sender, INVALID_SOCKET);
  const int receiver = OpenMulticastReceiver("227.0.1.1", port);
  ASSERT_NE(receiver, INVALID_SOCKET);
  for (int i = 0; i < 50; ++i) {
    now += std::chrono::milliseconds(i == 0 ? 0 : 20);  // 50 failures within 980 ms
    EXPECT_EQ(SendDatagram(sender, "227.0.1.1", 0, "x", 1), 0);
    EXPECT_EQ(GetLastError(), EINVAL);
  }
  std::vector<std::string> lines = Lines(place_.Log());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], std::string(kStamp) +
                          "ASSERT(res != SOCKET_ERROR) failed ERROR: Invalid argument\n");
  now += std::chrono::milliseconds(20);  // one second after the report
  EXPECT_EQ(SendDatagram(sender, "227.0.1.1", port, "sent", 4), 4);
  EXPECT_EQ(ReceiveDatagram(receiver), "sent");
  lines = Lines(place_.Log());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2].rfind(std::string(kStamp) + "ASSERT(res != SOCKET_ERROR) failed 49 more "
                           "times in module [Common/MulticastSocket:", 0), 0u) << lines[2];
  EXPECT_NE(lines[2].find("] ERROR: Invalid argument\n"), std::string::npos) << lines[2];
  close(sender);
  close(receiver);
  SetSendFailureThrottleForTest(nullptr);
}

TEST_F(SocketTest, TtlComesFromTheSetting) {
  const int port = NextPort();
  constexpr int kRefused = -1;
  struct Case {
    const char* how;
    uint32_t dword;
    int ttl;  // kRefused: the step fails with EINVAL and its two-line report
  } cases[] = {
      {"missing", 0, 255},           {"string", 0, 255},
      {"dword", 0, 0},               {"dword", 1, 1},
      {"dword", 32, 32},             {"dword", 254, 254},
      {"dword", 255, 255},           {"dword", 256, kRefused},
      {"dword", 0x7FFFFFFF, kRefused}, {"dword", 0x80000000u, kRefused},
      {"dword", 0xFFFFFFFEu, kRefused}, {"dword", 0xFFFFFFFFu, kRefused},
  };
  std::size_t reports = 0;
  for (const Case& c : cases) {
    const std::string how = c.how;
    const std::string what = how + " " + std::to_string(c.dword);
    bool stored = true;
    if (how == "dword") stored = SetSettingDword("MulticastTTL", c.dword, "Parameters");
    if (how == "string") stored = SetSettingString("MulticastTTL", "7", "Parameters");
    ASSERT_TRUE(stored) << what;
    SetLastError(0);
    const int sender = OpenMulticastSender(port, "");
    if (c.ttl == kRefused) {
      EXPECT_EQ(sender, INVALID_SOCKET) << what;
      EXPECT_EQ(GetLastError(), EINVAL) << what;
      const std::vector<std::string> lines = Lines(place_.Log());
      ASSERT_EQ(lines.size(), reports + 2) << what;
      EXPECT_EQ(lines[reports], std::string(kStamp) +
                                    "ASSERT(res != SOCKET_ERROR) failed ERROR: Invalid argument\n")
          << what;
      reports += 2;
    } else {
      ASSERT_NE(sender, INVALID_SOCKET) << what;
      EXPECT_EQ(IntOption(sender, IPPROTO_IP, IP_MULTICAST_TTL), c.ttl) << what;
      close(sender);
    }
  }
}

TEST_F(SocketTest, RefusedTtlFailsWithoutLeaks) {
  ASSERT_TRUE(SetSettingDword("MulticastTTL", 1000, "Parameters"));
  const int port = NextPort();
  const int before = CountFds(getpid());
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(OpenMulticastSender(port, ""), INVALID_SOCKET);
    ASSERT_EQ(GetLastError(), EINVAL);
  }
  EXPECT_EQ(CountFds(getpid()), before);
  const std::vector<std::string> lines = Lines(place_.Log());
  ASSERT_EQ(lines.size(), 200u);
  EXPECT_EQ(lines[0], std::string(kStamp) +
                          "ASSERT(res != SOCKET_ERROR) failed ERROR: Invalid argument\n");
  EXPECT_EQ(lines[1].rfind(std::string(kStamp) + "  in module [Common/MulticastSocket:", 0), 0u);
}

TEST_F(SocketTest, FailedStepKeepsItsErrorForTheCaller) {
  const int port = NextPort();
  // A non-multicast-capable interface address: the first option step fails.
  const int sender = OpenMulticastSender(port, "10.9.9.9");
  EXPECT_EQ(sender, INVALID_SOCKET);
  EXPECT_EQ(GetLastError(), EADDRNOTAVAIL);
  ConditionBox("g_multicast_sock != -1", "server/varno", 165);
  err_.Restore();
  EXPECT_NE(err_.text().find("Internal Error: Cannot assign requested address\n\nThe "
                             "(g_multicast_sock != -1) condition failed at\nserver/varno:165"),
            std::string::npos);
}

TEST_F(SocketTest, ConnectIsBoundedInTime) {
  // A listener whose queue is full drops further handshakes, so a connect would wait for the
  // kernel's own limit (minutes) without the bound.
  Listener full(0);
  std::vector<int> fillers;
  for (int i = 0; i < 4; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(full.port()));
    connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    fillers.push_back(fd);
  }
  usleep(50000);
  SetConnectTimeoutForTest(300);
  const int before = CountFds(getpid());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ConnectTo("127.0.0.1", full.port()), INVALID_SOCKET);
  const auto waited = std::chrono::steady_clock::now() - start;
  SetConnectTimeoutForTest(0);
  EXPECT_EQ(GetLastError(), ETIMEDOUT);
  EXPECT_GE(waited, std::chrono::milliseconds(290));
  EXPECT_LT(waited, std::chrono::milliseconds(3000));
  EXPECT_EQ(CountFds(getpid()), before);
  EXPECT_EQ(Lines(place_.Log())[0],
            std::string(kStamp) + "ASSERT(res != SOCKET_ERROR) failed ERROR: Connection timed out\n");
  for (int fd : fillers) close(fd);
}

namespace {
void OnAlarm(int) {}
}  // namespace

TEST_F(SocketTest, SignalsDoNotEndAReceive) {
  Listener listener;
  const int client = ConnectTo("127.0.0.1", listener.port());
  ASSERT_NE(client, INVALID_SOCKET);
  const int server = listener.Accept();
  // A handler without SA_RESTART makes the blocked recv fail with EINTR.
  struct sigaction action {}, old {};
  action.sa_handler = OnAlarm;
  sigaction(SIGALRM, &action, &old);
  itimerval every_20ms{{0, 20000}, {0, 20000}};
  setitimer(ITIMER_REAL, &every_20ms, nullptr);
  std::thread peer([client] {
    usleep(200000);
    SendBytes(client, "go\r\n", 4);
  });
  char buffer[64];
  const int n = Receive(server, buffer, sizeof buffer);
  itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &old, nullptr);
  peer.join();
  EXPECT_EQ(n, 4);
  EXPECT_STREQ(buffer, "go\r\n");
  close(client);
  close(server);
}

namespace {
long RmemMax() { return std::atol(ReadFile("/proc/sys/net/core/rmem_max").c_str()); }

// Drops CAP_NET_ADMIN from the calling thread's effective set, as for a user's process.
bool DropNetAdmin() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  data[CAP_NET_ADMIN / 32].effective &= ~(1u << (CAP_NET_ADMIN % 32));
  return syscall(SYS_capset, &header, data) == 0;
}

}  // namespace

// A privileged process gets the buffer it asks for; a user's process is cut to
// net.core.rmem_max, and then one line says so. Asked at the limit, one below and one above.
TEST_F(SocketTest, ReceiveBufferIsGrantedOrCutToTheSystemLimitWithOneLine) {
  const int sock = OpenMulticastReceiver("227.0.1.1", NextPort());
  ASSERT_NE(sock, INVALID_SOCKET);
  EXPECT_EQ(SetReceiveBuffer(sock, 16 << 20), 16 << 20) << "run as root (CAP_NET_ADMIN)";
  EXPECT_EQ(IntOption(sock, SOL_SOCKET, SO_RCVBUF), 32 << 20);
  EXPECT_FALSE(FileExists(place_.LogPath()));
  close(sock);

  const long limit = RmemMax();
  ASSERT_GT(limit, 4096);
  struct Case { long asked; long granted; bool line; };
  const Case cases[] = {{limit - 1, limit - 1, false}, {limit, limit, false},
                        {limit + 1, limit, true}, {limit * 4, limit, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.asked);
    std::remove(place_.LogPath().c_str());
    // A child without CAP_NET_ADMIN; its exit code says what it was granted.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    if (child == 0) {
      long granted = -2;
      if (DropNetAdmin()) {
        const int s = OpenMulticastReceiver("227.0.1.1", NextPort());
        granted = SetReceiveBuffer(s, static_cast<int>(c.asked));
      }
      if (write(fds[1], &granted, sizeof granted) < 0) {}
      _exit(0);
    }
    long granted = -3;
    ASSERT_EQ(read(fds[0], &granted, sizeof granted), static_cast<ssize_t>(sizeof granted));
    waitpid(child, nullptr, 0);
    close(fds[0]);
    close(fds[1]);
    EXPECT_EQ(granted, c.granted);
    const std::string log = FileExists(place_.LogPath()) ? place_.Log() : "";
    EXPECT_EQ(Lines(log).size(), c.line ? 1u : 0u) << log;
    if (c.line) {
      char want[160];
      std::snprintf(want, sizeof want, "%sReceive buffer: %ld KiB asked for, %ld KiB granted "
                    "(net.core.rmem_max limits it)\n", kStamp, c.asked / 1024, limit / 1024);
      EXPECT_EQ(log, want);
    }
  }
}

// A sender floods while nobody reads: what the socket could not hold is counted by the kernel,
// can be read at once, and comes with the next datagram queued; with what was read, it is all
// that was sent.
TEST_F(SocketTest, DatagramsDroppedByAFullSocketAreCountedWithTheNextOnesRead) {
  const int port = NextPort();
  const int sender = OpenMulticastSender(port, "");
  const int receiver = OpenMulticastReceiver("227.0.1.1", port);
  ASSERT_NE(sender, INVALID_SOCKET);
  ASSERT_NE(receiver, INVALID_SOCKET);
  ASSERT_EQ(SetReceiveBuffer(receiver, 64 << 10), 64 << 10);
  ASSERT_TRUE(CountReceiveDrops(receiver));
  constexpr int kSent = 500;
  std::vector<char> datagram(1000);
  for (int i = 0; i < kSent; ++i) {
    std::memcpy(datagram.data(), &i, sizeof i);
    ASSERT_EQ(SendDatagram(sender, "227.0.1.1", port, datagram.data(), 1000), 1000);
  }
  std::vector<uint32_t> counts;  // the count that came with each datagram read
  std::vector<int> numbers;
  char buffer[65536];
  for (;;) {
    uint32_t drops = 0xFFFFFFFF;  // left as it is when no count came along
    const long n = ReceiveDatagram(receiver, buffer, sizeof buffer, &drops);
    if (n < 0) {
      EXPECT_EQ(GetLastError(), EAGAIN);
      break;
    }
    ASSERT_EQ(n, 1000);
    int number;
    std::memcpy(&number, buffer, sizeof number);
    numbers.push_back(number);
    counts.push_back(drops);
  }
  ASSERT_GT(numbers.size(), 10u);
  ASSERT_LT(numbers.size(), static_cast<std::size_t>(kSent)) << "nothing was dropped";
  // Everything read was queued before the first drop: no count came with it.
  for (uint32_t c : counts) EXPECT_EQ(c, 0xFFFFFFFFu);
  for (std::size_t i = 1; i < numbers.size(); ++i) EXPECT_LT(numbers[i - 1], numbers[i]);
  // The count is there at once for whoever asks.
  EXPECT_EQ(ReceiveDrops(receiver) + static_cast<long>(numbers.size()), kSent);
  // The next datagram queued brings the count of all that was lost before it.
  std::memcpy(datagram.data(), &kSent, sizeof kSent);
  ASSERT_EQ(SendDatagram(sender, "227.0.1.1", port, datagram.data(), 1000), 1000);
  uint32_t dropped = 0xFFFFFFFF;
  ASSERT_EQ(ReceiveDatagram(receiver, buffer, sizeof buffer, &dropped), 1000);
  EXPECT_EQ(numbers.size() + dropped, static_cast<std::size_t>(kSent));
  EXPECT_EQ(testsupport::UdpSocketDrops(port), static_cast<long>(dropped));
  close(sender);
  close(receiver);
}

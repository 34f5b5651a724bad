#include "Common/MulticastSocket.h"

#include <arpa/inet.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>

#include "Common/FailureThrottle.h"
#include "Common/Log.h"
#include "Common/Registry.h"
#include "platform/LastError.h"
#include "platform/Socket.h"

static const char kModule[] = "Common/MulticastSocket";

namespace {
FailureThrottle* g_test_throttle = nullptr;

constexpr uint32_t kDefaultTtl = 255;
constexpr uint32_t kMaxTtl = 255;

// Dotted quad as inet_aton reads it; "" is the wildcard. A text that is no address gives
// EINVAL, so that the step using it fails and reports instead of sending anywhere.
bool ParseAddress(const char* text, in_addr* address) {
  if (!text || !*text) {
    address->s_addr = htonl(INADDR_ANY);
    return true;
  }
  if (inet_aton(text, address) != 0) return true;
  SetLastError(EINVAL);
  return false;
}

sockaddr_in SocketAddress(in_addr address, int port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr = address;
  sa.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
  return sa;
}

// setsockopt with a 4-byte integer; SOCKET_ERROR with the last error set on failure.
int SetIntOption(int sock, int level, int name, int value) {
  if (setsockopt(sock, level, name, &value, sizeof value) == 0) return 0;
  SetLastErrorFromErrno();
  return SOCKET_ERROR;
}

int SetOption(int sock, int level, int name, const void* value, socklen_t size) {
  if (setsockopt(sock, level, name, value, size) == 0) return 0;
  SetLastErrorFromErrno();
  return SOCKET_ERROR;
}

int BindTo(int sock, in_addr address, int port) {
  const sockaddr_in sa = SocketAddress(address, port);
  if (bind(sock, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) return 0;
  SetLastErrorFromErrno();
  return SOCKET_ERROR;
}

int OpenDatagramSocket() {
  const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock == INVALID_SOCKET) SetLastErrorFromErrno();
  return sock;
}

// A socket that failed a later step is never handed out; closing keeps the step's error.
int Fail(int sock) {
  CloseSocket(sock);
  return INVALID_SOCKET;
}
}  // namespace

int OpenMulticastSender(int port, const char* iface) {
  const int sock = OpenDatagramSocket();
  if (!VERIFY(sock != INVALID_SOCKET)) return INVALID_SOCKET;

  in_addr address{};
  int res = ParseAddress(iface, &address)
                ? SetOption(sock, IPPROTO_IP, IP_MULTICAST_IF, &address, sizeof address)
                : SOCKET_ERROR;
  if (!VERIFY(res != SOCKET_ERROR)) return Fail(sock);

  res = SetIntOption(sock, SOL_SOCKET, SO_REUSEADDR, 1);
  if (!VERIFY(res != SOCKET_ERROR)) return Fail(sock);

  res = BindTo(sock, address, port);
  if (!VERIFY(res != SOCKET_ERROR)) return Fail(sock);

  uint32_t ttl = kDefaultTtl;
  {
    LastErrorKeeper keep;  // a missing setting is no failure
    uint32_t stored = 0;
    if (GetSettingDword("MulticastTTL", &stored, "Parameters")) ttl = stored;
  }
  // A value over 255 is refused here: as an int, 0xFFFFFFFF would be -1, which Linux takes
  // as "the default TTL 1" instead of refusing it.
  if (ttl > kMaxTtl) {
    SetLastError(EINVAL);
    res = SOCKET_ERROR;
  } else {
    res = SetIntOption(sock, IPPROTO_IP, IP_MULTICAST_TTL, static_cast<int>(ttl));
  }
  if (!VERIFY(res != SOCKET_ERROR)) return Fail(sock);

  return sock;
}

FailureThrottle& SendFailureThrottle() {
  static FailureThrottle* process = new FailureThrottle();  // senders run until the end
  return g_test_throttle ? *g_test_throttle : *process;
}

void SetSendFailureThrottleForTest(FailureThrottle* throttle) { g_test_throttle = throttle; }

int SendDatagram(int sock, const char* group, int port, const void* data, int length) {
  in_addr address{};
  int res = 0;
  if (!ParseAddress(group, &address)) {
    res = SOCKET_ERROR;
  } else if (length < 0 || (!data && length > 0)) {
    SetLastError(EINVAL);
    res = SOCKET_ERROR;
  }
  if (res == SOCKET_ERROR) {
    SendFailureThrottle().Failed("res != SOCKET_ERROR", kModule, __LINE__);
    return 0;
  }

  const sockaddr_in to = SocketAddress(address, port);
  const char* p = static_cast<const char*>(data);
  int left = length;
  for (;;) {
    const ssize_t sent = sendto(sock, p, static_cast<std::size_t>(left), MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EWOULDBLOCK || errno == EAGAIN)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    if (sent < 0) {
      SetLastErrorFromErrno();
      // Every datagram fails alike while the cause lasts (port 0, no route): a failure
      // report each time would flood the log.
      SendFailureThrottle().Failed("res != SOCKET_ERROR", kModule, __LINE__);
      return 0;
    }
    // A datagram goes whole; the loop only matters for a platform that sends part of one.
    if (sent >= left) {
      SendFailureThrottle().Succeeded();
      return length;
    }
    p += sent;
    left -= static_cast<int>(sent);
  }
}

int OpenMulticastReceiver(const char* group, int port) {
  const int sock = OpenDatagramSocket();
  if (!VERIFY(sock != INVALID_SOCKET)) return INVALID_SOCKET;

  in_addr any{};
  any.s_addr = htonl(INADDR_ANY);
  int res = SetOption(sock, IPPROTO_IP, IP_MULTICAST_IF, &any, sizeof any);
  if (!VERIFY(res != SOCKET_ERROR)) return Fail(sock);

  res = SetIntOption(sock, SOL_SOCKET, SO_REUSEADDR, 1);
  if (!VERIFY(res != SOCKET_ERROR)) return Fail(sock);

  // Linux otherwise delivers every group joined on this port by any socket of the machine.
  res = SetIntOption(sock, IPPROTO_IP, IP_MULTICAST_ALL, 0);
  if (!VERIFY(res != SOCKET_ERROR)) return Fail(sock);

  res = BindTo(sock, any, port);
  if (!VERIFY(res != SOCKET_ERROR)) return Fail(sock);

  ip_mreq request{};
  request.imr_interface = any;
  res = ParseAddress(group, &request.imr_multiaddr)
            ? SetOption(sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request)
            : SOCKET_ERROR;
  if (!VERIFY(res != SOCKET_ERROR)) return Fail(sock);

  return sock;
}

int SetReceiveBuffer(int sock, int bytes) {
  // Privileged: not capped. Unprivileged (EPERM): the capped option below.
  if (setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0 &&
      setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) != 0) {
    SetLastErrorFromErrno();
    return -1;
  }
  int booked = 0;
  socklen_t len = sizeof booked;
  if (getsockopt(sock, SOL_SOCKET, SO_RCVBUF, &booked, &len) != 0) {
    SetLastErrorFromErrno();
    return -1;
  }
  const int granted = booked / 2;  // Linux books twice what it was asked for
  if (granted < bytes)
    LogLine("Receive buffer: %d KiB asked for, %d KiB granted (net.core.rmem_max limits it)\n",
            bytes / 1024, granted / 1024);
  return granted;
}

bool CountReceiveDrops(int sock) { return SetIntOption(sock, SOL_SOCKET, SO_RXQ_OVFL, 1) == 0; }

long ReceiveDrops(int sock) {
  uint32_t info[SK_MEMINFO_VARS] = {};
  socklen_t len = sizeof info;
  if (getsockopt(sock, SOL_SOCKET, SO_MEMINFO, info, &len) != 0 || len <= SK_MEMINFO_DROPS * 4)
    return -1;
  return info[SK_MEMINFO_DROPS];
}

void FormatDatagramSource(const DatagramSource& source, char* text, std::size_t bytes) {
  const uint32_t a = source.address;
  std::snprintf(text, bytes, "%u.%u.%u.%u:%u", a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF,
                a & 0xFF, static_cast<unsigned>(source.port));
}

long ReceiveDatagram(int sock, void* buffer, std::size_t capacity, uint32_t* drops,
                     DatagramSource* from) {
  iovec io{buffer, capacity};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint32_t))];
  sockaddr_in peer{};
  msghdr msg{};
  if (from) {
    msg.msg_name = &peer;
    msg.msg_namelen = sizeof peer;
  }
  msg.msg_iov = &io;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  ssize_t n;
  do n = recvmsg(sock, &msg, MSG_DONTWAIT);
  while (n < 0 && errno == EINTR);
  if (n < 0) {
    SetLastErrorFromErrno();
    return -1;
  }
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL &&
        c->cmsg_len >= CMSG_LEN(sizeof(uint32_t)))
      std::memcpy(drops, CMSG_DATA(c), sizeof(uint32_t));
  if (from) *from = DatagramSource{ntohl(peer.sin_addr.s_addr), ntohs(peer.sin_port)};
  return static_cast<long>(n);
}

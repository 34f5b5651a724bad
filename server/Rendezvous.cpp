#include "server/Rendezvous.h"

#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "Common/ClientSocket.h"
#include "Common/Log.h"
#include "platform/LastError.h"
#include "platform/Socket.h"
#include "server/ServerState.h"

namespace {
// The service's failure reports carry the module and lines its operators know.
const char kReportModule[] = "server/varno";

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// What a failed accept means for the service (Linux reports transient network errors of the
// pending connection through accept).
enum class AcceptError { kRetry, kBackOff, kEnd };
AcceptError Classify(int e) {
  switch (e) {
    case EBADF:
    case EINVAL:
    case ENOTSOCK:
      return AcceptError::kEnd;
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
      return AcceptError::kBackOff;
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
    case EAGAIN:
      return AcceptError::kRetry;
    default:
      return AcceptError::kBackOff;  // unknown: keep serving, without spinning
  }
}
}  // namespace

int OpenRendezvousListener(int port) {
  int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (sock < 0) {
    SetLastErrorFromErrno();
    ReportCheckFailure("sock", kReportModule, 165);
    return INVALID_SOCKET;
  }
  // Without it the port stays blocked while old connections sit in TIME_WAIT; a second
  // listener is still refused.
  int on = 1;
  setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(sock, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    SetLastErrorFromErrno();
    ReportCheckFailure("res != SOCKET_ERROR", kReportModule, 174);
    CloseSocket(sock);
    return INVALID_SOCKET;
  }
  if (listen(sock, kRendezvousBacklog) != 0) {
    SetLastErrorFromErrno();
    ReportCheckFailure("res != SOCKET_ERROR", kReportModule, 177);
    CloseSocket(sock);
    return INVALID_SOCKET;
  }
  return sock;
}

bool HandleRendezvousRequest(const char* request, std::size_t n, char* reply,
                             std::size_t reply_size) {
  if (reply_size) reply[0] = 0;
  if (n < 4 || memcmp(request, "init", 4) != 0) return false;
  char group[kTextBytes];
  int port;
  {
    // One consistent pair even while the settings dialog changes the target.
    std::lock_guard<std::mutex> hold(g_target_mutex);
    memcpy(group, g_group, sizeof group);
    port = g_port;
  }
  group[sizeof group - 1] = 0;
  snprintf(reply, reply_size, "%s:%d\r\n", group, port);
  return true;
}

void ServeRendezvousConnection(int conn) {
  char request[kRendezvousRequestBytes];
  memset(request, 0, sizeof request);
  int n = 0;
  // A client that stays silent must not hold the service: after the wait it counts as a
  // failed receive, which is a refresh request. (SO_RCVTIMEO would not do: Receive retries
  // the EAGAIN it produces.)
  if (WaitReadable(conn, kRendezvousWaitMs)) n = Receive(conn, request, sizeof request);
  char reply[kTextBytes + 16];
  if (HandleRendezvousRequest(request, n > 0 ? static_cast<std::size_t>(n) : 0, reply,
                              sizeof reply)) {
    SendText(conn, "%s", reply);
  } else if (g_full_refresh.load() == 0) {
    // A refresh still pending (not yet begun by the screen tick) covers this request too.
    // Without this every connection queued behind a burst of junk costs another 200 ms.
    Sleep(kRefreshDelayMs);
    g_full_refresh.store(1);
  }
  shutdown(conn, SHUT_RDWR);
  CloseSocket(conn);
}

int ServeRendezvous(int listener) {
  for (;;) {
    int conn = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn >= 0) {
      ServeRendezvousConnection(conn);
      continue;
    }
    switch (Classify(errno)) {
      case AcceptError::kRetry:
        continue;
      case AcceptError::kBackOff:
        Sleep(100);
        continue;
      case AcceptError::kEnd:
        return 0;
    }
  }
}

int RendezvousThread(void*) {
  int listener = OpenRendezvousListener(kRendezvousPort);
  if (listener == INVALID_SOCKET) return 0;
  return ServeRendezvous(listener);
}

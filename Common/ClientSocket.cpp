#include "Common/ClientSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <thread>

#include "Common/Log.h"
#include "platform/LastError.h"
#include "platform/Socket.h"

static const char kModule[] = "Common/ClientSocket";

namespace {
constexpr int kConnectTimeoutMs = 21000;  // what a blocking connect waits on Windows
std::atomic<int> g_connect_timeout_ms{kConnectTimeoutMs};
constexpr std::size_t kTextBytes = 8192;

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point end) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// poll() for one descriptor, resumed after signals with the time that is left. Returns poll's
// result; errno set on failure.
int PollFor(int sock, short events, int timeout_ms, short* revents) {
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  int wait = timeout_ms;
  for (;;) {
    struct pollfd pfd{sock, events, 0};
    const int res = poll(&pfd, 1, wait);
    if (res < 0 && errno == EINTR) {
      wait = timeout_ms < 0 ? -1 : RemainingMs(end);
      continue;
    }
    if (revents) *revents = pfd.revents;
    return res;
  }
}

// First IPv4 address of a host name; false with the resolver's error as last error.
bool Resolve(const char* host, in_addr* address) {
  struct addrinfo hints {};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* answer = nullptr;
  const int rc = getaddrinfo(host, nullptr, &hints, &answer);
  if (rc != 0) {
    SetLastError(rc == EAI_SYSTEM ? errno : ResolverError(rc));
    return false;
  }
  if (!answer) {
    SetLastError(ResolverError(EAI_NONAME));
    return false;
  }
  *address = reinterpret_cast<const sockaddr_in*>(answer->ai_addr)->sin_addr;
  freeaddrinfo(answer);
  return true;
}

// connect() bounded like the Windows one: non-blocking, then poll; ETIMEDOUT when it takes
// longer. The socket is blocking again afterwards. Returns 0 or SOCKET_ERROR (last error set).
int ConnectBounded(int sock, const sockaddr_in& to) {
  const int flags = fcntl(sock, F_GETFL);
  if (flags < 0 || fcntl(sock, F_SETFL, flags | O_NONBLOCK) < 0) {
    SetLastErrorFromErrno();
    return SOCKET_ERROR;
  }
  int error = 0;
  if (connect(sock, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    error = errno;
    if (error == EINPROGRESS || error == EINTR) {
      short revents = 0;
      const int res = PollFor(sock, POLLOUT, g_connect_timeout_ms.load(), &revents);
      if (res < 0) {
        error = errno;
      } else if (res == 0) {
        error = ETIMEDOUT;
      } else {
        socklen_t len = sizeof error;
        if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
      }
    }
  }
  if (error == 0 && fcntl(sock, F_SETFL, flags) < 0) error = errno;
  if (error != 0) {
    SetLastError(error);
    return SOCKET_ERROR;
  }
  return 0;
}
}  // namespace

int ConnectTo(const char* host, int port) {
  const int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (sock == INVALID_SOCKET) SetLastErrorFromErrno();
  if (!VERIFY(sock != INVALID_SOCKET)) return INVALID_SOCKET;

  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
  // A dotted quad makes no name query; anything else is a host name.
  const bool resolved = host && (inet_aton(host, &to.sin_addr) != 0 || Resolve(host, &to.sin_addr));
  if (!resolved) {
    if (!host) SetLastError(ResolverError(EAI_NONAME));
    ReportCheckFailure("host", kModule, __LINE__);
    CloseSocket(sock);  // keeps the last error
    return INVALID_SOCKET;
  }

  const int res = ConnectBounded(sock, to);
  if (!VERIFY(res != SOCKET_ERROR)) {
    CloseSocket(sock);
    return INVALID_SOCKET;
  }
  return sock;
}

int SendText(int sock, const char* format, ...) {
  char text[kTextBytes];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(text, sizeof text, format ? format : "", args);
  va_end(args);
  // A cut request or answer would be a different one: refuse it whole.
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof text) {
    const int bytes = SOCKET_ERROR;
    SetLastError(n < 0 ? EINVAL : EMSGSIZE);
    VERIFY(bytes != SOCKET_ERROR);
    return 0;
  }
  return SendBytes(sock, text, n);
}

int SendBytes(int sock, const void* data, int length) {
  ssize_t bytes;
  if (length < 0 || (!data && length > 0)) {
    errno = EINVAL;
    bytes = SOCKET_ERROR;
  } else {
    do {
      bytes = send(sock, data, static_cast<std::size_t>(length), MSG_NOSIGNAL);
    } while (bytes < 0 && errno == EINTR);
  }
  if (bytes >= 0) return static_cast<int>(bytes);
  SetLastErrorFromErrno();
  if (errno == EWOULDBLOCK || errno == EAGAIN) return 0;
  VERIFY(bytes != SOCKET_ERROR);
  return 0;
}

int Receive(int sock, char* buffer, int size) {
  if (!buffer || size <= 0) {
    SetLastError(EINVAL);
    ReportError("recv");
    return -1;
  }
  for (;;) {
    std::memset(buffer, 0, static_cast<std::size_t>(size));
    const ssize_t n = recv(sock, buffer, static_cast<std::size_t>(size), 0);
    if (n >= 0) return static_cast<int>(n);
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK || errno == EAGAIN) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      continue;
    }
    SetLastErrorFromErrno();
    ReportError("recv");
    return -1;
  }
}

bool WaitReadable(int sock, int timeout_ms) {
  short revents = 0;
  const int res = PollFor(sock, POLLIN, timeout_ms, &revents);
  if (res < 0) {
    SetLastErrorFromErrno();
    return false;
  }
  if (res == 0) {
    SetLastError(ETIMEDOUT);
    return false;
  }
  if (revents & POLLNVAL) {
    SetLastError(EBADF);
    return false;
  }
  return true;  // data, end of stream or an error: the next Receive tells which
}

void SetConnectTimeoutForTest(int timeout_ms) {
  g_connect_timeout_ms.store(timeout_ms > 0 ? timeout_ms : kConnectTimeoutMs);
}

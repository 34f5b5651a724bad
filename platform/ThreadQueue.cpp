#include "platform/ThreadQueue.h"

#include <errno.h>
#include <poll.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <mutex>

#ifdef ORVANE_STANDALONE_QUEUE
// libhooks.so carries its own copy of the queue code without the platform's last-error
// module; errno alone carries the cause there.
static void SetLastErrorFromErrno() {}
static void SetLastError(int code) { errno = code; }
#else
#include "platform/LastError.h"
#endif

namespace {
// On the wire of a queue: message, wparam, lparam, little-endian host layout (same process).
struct Packet {
  uint32_t message;
  uint32_t pad;
  uint64_t wparam;
  uint64_t lparam;
};

socklen_t QueueAddress(long tid, sockaddr_un& a) {
  memset(&a, 0, sizeof a);
  a.sun_family = AF_UNIX;
  // Abstract name (leading 0 byte): no file to clean up, gone with the socket.
  int n = snprintf(a.sun_path + 1, sizeof a.sun_path - 1, "orvane-queue-%ld-%ld",
                   static_cast<long>(getpid()), tid);
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
}

// Destroyed when the thread ends, which removes its name.
struct Queue {
  int fd = -1;
  long tid = 0;
  ~Queue() {
    if (fd >= 0) close(fd);
  }
};
thread_local Queue t_queue;

// One unbound socket for every post of the process; sendto on it is thread-safe.
int SenderSocket() {
  static int fd = -1;
  static std::once_flag once;
  std::call_once(once, [] { fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0); });
  return fd;
}

// Abstract names are reachable by every process of the network namespace: accept only posts
// from this process (the kernel attaches the sender's credentials, SO_PASSCRED).
bool FromThisProcess(msghdr& h) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&h); c; c = CMSG_NXTHDR(&h, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS) {
      ucred cred;
      memcpy(&cred, CMSG_DATA(c), sizeof cred);
      return cred.pid == getpid();
    }
  }
  return false;
}

bool Decode(const Packet& p, ssize_t n, ThreadMessage& m) {
  if (n != static_cast<ssize_t>(sizeof p)) return false;
  m.message = p.message;
  m.wparam = p.wparam;
  m.lparam = p.lparam;
  return true;
}
}  // namespace

bool EnsureThreadQueue() {
  // A forked child inherits the parent's thread_local of the forking thread: rebuild it.
  long tid = static_cast<long>(gettid());
  if (t_queue.fd >= 0 && t_queue.tid == tid) return true;
  if (t_queue.fd >= 0) close(t_queue.fd);
  t_queue.fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (t_queue.fd < 0) {
    SetLastErrorFromErrno();
    return false;
  }
  int on = 1;
  setsockopt(t_queue.fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
  sockaddr_un a;
  socklen_t len = QueueAddress(tid, a);
  if (bind(t_queue.fd, reinterpret_cast<sockaddr*>(&a), len) != 0) {
    SetLastErrorFromErrno();
    close(t_queue.fd);
    t_queue.fd = -1;
    return false;
  }
  t_queue.tid = tid;
  return true;
}

bool PostThreadMessage(long tid, uint32_t msg, uint64_t wparam, uint64_t lparam) {
  int fd = SenderSocket();
  if (fd < 0) {
    SetLastError(EMFILE);
    return false;
  }
  Packet p{msg, 0, wparam, lparam};
  sockaddr_un a;
  socklen_t len = QueueAddress(tid, a);
  for (;;) {
    ssize_t n = sendto(fd, &p, sizeof p, MSG_DONTWAIT | MSG_NOSIGNAL,
                       reinterpret_cast<sockaddr*>(&a), len);
    if (n == static_cast<ssize_t>(sizeof p)) return true;
    if (n < 0 && errno == EINTR) continue;
    if (n >= 0) errno = EMSGSIZE;
    SetLastErrorFromErrno();  // errno stays as it is
    return false;
  }
}

int WaitThreadMessage(ThreadMessage& m, int timeout_ms) {
  if (!EnsureThreadQueue()) {
    m = ThreadMessage{kQuitMessage, 0, 0};
    return -1;
  }
  for (;;) {
    if (timeout_ms >= 0) {
      pollfd pfd{t_queue.fd, POLLIN, 0};
      int r = poll(&pfd, 1, timeout_ms);
      if (r < 0 && errno == EINTR) continue;  // the caller's bound is approximate here
      if (r == 0) return 0;
      if (r < 0) {
        SetLastErrorFromErrno();
        m = ThreadMessage{kQuitMessage, 0, 0};
        return -1;
      }
    }
    Packet p;
    iovec iov{&p, sizeof p};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    msghdr h{};
    h.msg_iov = &iov;
    h.msg_iovlen = 1;
    h.msg_control = control;
    h.msg_controllen = sizeof control;
    ssize_t n = recvmsg(t_queue.fd, &h, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      SetLastErrorFromErrno();
      m = ThreadMessage{kQuitMessage, 0, 0};
      return -1;
    }
    if (!FromThisProcess(h) || !Decode(p, n, m)) continue;  // not one of ours
    return m.message == kQuitMessage ? -1 : 1;
  }
}

bool GetThreadMessage(ThreadMessage& m) { return WaitThreadMessage(m, -1) == 1; }

bool PostQuitMessage(long tid) {
  for (int i = 0; i < 100; ++i) {
    if (PostThreadMessage(tid, kQuitMessage, 0, 0)) return true;
    if (errno != EAGAIN) return false;
    timespec ts{0, 10 * 1000 * 1000};
    nanosleep(&ts, nullptr);
  }
  return false;
}

#include "server/Rendezvous.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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

// How long accepting rests when no descriptor or memory is left for a new connection.
constexpr int kAcceptBackOffMs = 100;
// Connections accepted in one go: a burst is taken quickly, and the open connections still
// get their turn.
constexpr int kAcceptBatch = 64;

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

RendezvousTable::RendezvousTable(const RendezvousLimits& limits) : limits_(limits) {
  entries_.reserve(static_cast<std::size_t>(std::max(limits.total, 0)));
}

int RendezvousTable::OpenFrom(uint32_t source) const {
  int n = 0;
  for (const Entry& e : entries_) n += e.source == source;
  return n;
}

bool RendezvousTable::Admit(int conn, uint32_t source, Ms now) {
  if (Full() || OpenFrom(source) >= limits_.per_source) {
    ++refusals_;
    last_refused_ = source;
    return false;
  }
  entries_.push_back(Entry{conn, source, Wait::kRequest, now + limits_.first_bytes_ms, 0});
  return true;
}

bool RendezvousTable::Judge(int conn, const char* request, std::size_t n, Ms now, char* reply,
                            std::size_t reply_size) {
  if (reply_size) reply[0] = 0;
  for (Entry& e : entries_) {
    if (e.conn != conn || e.wait != Wait::kRequest) continue;
    if (HandleRendezvousRequest(request, n, reply, reply_size)) {
      e = entries_.back();
      entries_.pop_back();
      return true;
    }
    e.wait = Wait::kRefreshDelay;
    e.deadline = now + limits_.refresh_delay_ms;
    e.judged = now;
    return false;
  }
  return false;
}

void RendezvousTable::Expire(Ms now, std::vector<int>* done, Ms* latest_judged) {
  if (latest_judged) *latest_judged = INT64_MIN;
  for (std::size_t i = 0; i < entries_.size();) {
    Entry& e = entries_[i];
    if (e.deadline > now) {
      ++i;
      continue;
    }
    if (e.wait == Wait::kRequest) {
      // Silent past its deadline: a request of nothing, judged now.
      e.wait = Wait::kRefreshDelay;
      e.deadline = now + limits_.refresh_delay_ms;
      e.judged = now;
      continue;  // looked at again: a delay of 0 ends it at once
    }
    done->push_back(e.conn);
    if (latest_judged) *latest_judged = std::max(*latest_judged, e.judged);
    e = entries_.back();
    entries_.pop_back();
  }
}

void RendezvousTable::Awaiting(std::vector<int>* conns) const {
  conns->clear();
  for (const Entry& e : entries_)
    if (e.wait == Wait::kRequest) conns->push_back(e.conn);
}

RendezvousTable::Ms RendezvousTable::NextDeadline() const {
  Ms next = refusals_ > 0 ? next_refusal_log_ : kNever;
  for (const Entry& e : entries_) next = std::min(next, e.deadline);
  return next;
}

int RendezvousTable::TakeRefusals(Ms now, uint32_t* last_source) {
  if (refusals_ == 0 || now < next_refusal_log_) return 0;
  const int n = refusals_;
  refusals_ = 0;
  next_refusal_log_ = now + limits_.refusal_log_ms;
  if (last_source) *last_source = last_refused_;
  return n;
}

void ReadRendezvousRequest(RendezvousTable& table, int conn, RendezvousTable::Ms now) {
  char request[kRendezvousRequestBytes];
  // A failed receive leaves the buffer zeroed (and is reported as "recv"): a refresh request.
  const int n = Receive(conn, request, sizeof request);
  char reply[kTextBytes + 16];
  if (!table.Judge(conn, request, n > 0 ? static_cast<std::size_t>(n) : 0, now, reply,
                   sizeof reply))
    return;
  SendText(conn, "%s", reply);
  shutdown(conn, SHUT_RDWR);
  CloseSocket(conn);
}

void FinishRefreshRequests(const std::vector<int>& conns, RendezvousTable::Ms judged) {
  if (conns.empty()) return;
  // A refresh that began after the request was judged reaches the viewer that asked (it had
  // joined the group before it asked): one more would only cost the network.
  if (judged == RendezvousTable::kNever || g_refresh_began_ms.load() <= judged)
    g_full_refresh.store(1);
  for (int conn : conns) {
    shutdown(conn, SHUT_RDWR);
    CloseSocket(conn);
  }
}

namespace {
using Ms = RendezvousTable::Ms;

Ms NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int PollTimeout(Ms wake, Ms now) {
  if (wake == RendezvousTable::kNever) return -1;
  if (wake <= now) return 0;
  return static_cast<int>(std::min<Ms>(wake - now, INT32_MAX));
}

// Tells the operator which address is held back, without letting a flood fill the log.
void ReportRefusals(RendezvousTable& table, const RendezvousLimits& limits, Ms now) {
  uint32_t source = 0;
  const int n = table.TakeRefusals(now, &source);
  if (n == 0) return;
  in_addr address{};
  address.s_addr = source;
  char text[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &address, text, sizeof text);
  LogLine("Rendezvous: %d connection(s) refused, the last from %s (at most %d open from one "
          "address, %d in all)\n", n, text, limits.per_source, limits.total);
}

// Takes pending connections into the table, or closes each at once that the table refuses,
// until none is left, the table is full or kAcceptBatch were taken (the open connections
// are served between batches). False when accepting has failed for good.
bool AcceptPending(int listener, RendezvousTable& table, Ms now, Ms* accept_after) {
  for (int taken = 0; taken < kAcceptBatch && !table.Full(); ++taken) {
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const int conn = accept4(listener, reinterpret_cast<sockaddr*>(&from), &length,
                             SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (conn >= 0) {
      if (!table.Admit(conn, from.sin_addr.s_addr, now)) CloseSocket(conn);
      continue;
    }
    switch (Classify(errno)) {
      case AcceptError::kRetry:
        return true;  // nothing left (EAGAIN), or a connection that failed: poll again
      case AcceptError::kBackOff:
        // The listener rests; the open connections are still served meanwhile.
        *accept_after = now + kAcceptBackOffMs;
        return true;
      case AcceptError::kEnd:
        return false;
    }
  }
  return true;
}
}  // namespace

int ServeRendezvous(int listener, const RendezvousLimits& limits) {
  // poll reports a pending connection that may be reset before accept takes it; a blocking
  // accept would then hold every other connection.
  const int flags = fcntl(listener, F_GETFL);
  if (flags >= 0) fcntl(listener, F_SETFL, flags | O_NONBLOCK);
  RendezvousTable table(limits);
  std::vector<int> done, awaiting;
  std::vector<pollfd> polled;
  Ms accept_after = 0;
  for (;;) {
    Ms now = NowMs();
    done.clear();
    Ms judged = 0;
    table.Expire(now, &done, &judged);
    FinishRefreshRequests(done, judged);
    ReportRefusals(table, limits, now);

    const bool accepting = !table.Full() && now >= accept_after;
    polled.clear();
    if (accepting) polled.push_back(pollfd{listener, POLLIN, 0});
    table.Awaiting(&awaiting);
    for (int conn : awaiting) polled.push_back(pollfd{conn, POLLIN, 0});
    Ms wake = table.NextDeadline();
    if (!accepting && !table.Full()) wake = std::min(wake, accept_after);
    if (poll(polled.data(), polled.size(), PollTimeout(wake, now)) < 0) {
      // EINTR: again at once; anything else (no memory): again a little later.
      if (errno != EINTR) Sleep(kAcceptBackOffMs);
      continue;
    }

    now = NowMs();
    for (const pollfd& p : polled)
      if (p.revents && p.fd != listener) ReadRendezvousRequest(table, p.fd, now);
    if (accepting && polled[0].revents && !AcceptPending(listener, table, now, &accept_after))
      return 0;
  }
}

int RendezvousThread(void*) {
  int listener = OpenRendezvousListener(kRendezvousPort);
  if (listener == INVALID_SOCKET) return 0;
  return ServeRendezvous(listener);
}

// The server's rendezvous service, two ways, chosen by bit 4 of the first byte (bits 0-3 pick
// the target in force):
// - one request: its judgement and reply, and the whole connection path over a socket pair
//   (receive, judge, answer or refresh delay, raise the flag, shut down and close);
// - a script of events for the connection table (connections accepted from a few addresses,
//   first pieces of requests, the clock moving on, refusal reports), checked against the
//   rules of the service: the bounds, the deadlines, the refusal log, and every connection
//   leaving exactly once.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "server/Rendezvous.h"
#include "server/ServerState.h"

namespace {
using Ms = RendezvousTable::Ms;

void Require(bool ok) {
  if (!ok) std::abort();
}

void SetTarget(uint8_t choice) {
  static const std::string kLongest(kTextBytes - 1, '7');  // 259 characters
  const char* groups[4] = {"227.0.1.1", "239.255.255.250", "", kLongest.c_str()};
  const int ports[4] = {10510, 0, 65535, -2147483647 - 1};
  std::lock_guard<std::mutex> hold(g_target_mutex);
  std::snprintf(g_group, sizeof g_group, "%s", groups[choice & 3]);
  g_port = ports[(choice >> 2) & 3];
}

bool IsInit(const char* request, std::size_t n) {
  return n >= 4 && std::memcmp(request, "init", 4) == 0;
}

void ExpectedReply(bool init, char* expected, std::size_t size) {
  expected[0] = 0;
  if (init) std::snprintf(expected, size, "%s:%d\r\n", g_group, g_port);
}

// One request, as the service receives it: one receive of at most 260 bytes into a zeroed
// buffer, then over a socket pair through the service's own connection steps.
void OneRequest(const uint8_t* data, std::size_t size) {
  char request[kRendezvousRequestBytes];
  std::memset(request, 0, sizeof request);
  const std::size_t n = size < sizeof request ? size : sizeof request;
  std::memcpy(request, data, n);
  char reply[kTextBytes + 16];
  const bool init = HandleRendezvousRequest(request, n, reply, sizeof reply);
  Require(init == IsInit(request, n));
  char expected[kTextBytes + 16];
  ExpectedReply(init, expected, sizeof expected);
  Require(std::strcmp(reply, expected) == 0);

  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return;
  // The peer's bytes, then its end of the request.
  if (write(pair[1], data, size > 4096 ? 4096 : size) < 0) {}
  shutdown(pair[1], SHUT_WR);
  g_full_refresh.store(0);
  const Ms t0 = 5000;
  RendezvousTable table;
  Require(table.Admit(pair[0], 1, t0));
  ReadRendezvousRequest(table, pair[0], t0);
  // "init" has been answered and closed; a refresh request waits for its delay.
  Require(table.size() == (init ? 0u : 1u));
  std::vector<int> done;
  table.Expire(t0 + kRefreshDelayMs - 1, &done);
  Require(done.empty());
  table.Expire(t0 + kRefreshDelayMs, &done);
  Require(done.size() == (init ? 0u : 1u));
  FinishRefreshRequests(done);
  std::string answer;
  char buf[512];
  ssize_t got;
  while ((got = read(pair[1], buf, sizeof buf)) > 0) answer.append(buf, got);
  close(pair[1]);
  // A unix socket delivers a request of up to 260 bytes in one piece, so it is judged whole.
  Require(answer == expected);
  Require(g_full_refresh.load() == (init ? 0 : 1));
}

// What the script knows of a connection it has seen admitted.
struct Known {
  uint32_t source;
  Ms admitted;
  Ms judged = -1;  // -1: still waiting for its first bytes
};

class Script {
 public:
  explicit Script(const RendezvousLimits& limits) : limits_(limits), table_(limits) {}

  void Admit(uint32_t source) {
    const int conn = next_conn_++;
    int from = 0;
    for (const auto& k : known_) from += k.second.source == source;
    const bool room = from < limits_.per_source && static_cast<int>(known_.size()) < limits_.total;
    Require(table_.Admit(conn, source, now_) == room);
    if (room) {
      known_[conn] = Known{source, now_};
    } else {
      ++refused_;
      last_refused_ = source;
    }
  }

  void Judge(std::size_t pick, const char* request, std::size_t n) {
    std::vector<int> waiting;
    table_.Awaiting(&waiting);
    std::sort(waiting.begin(), waiting.end());
    // Mostly a connection that waits for its request; sometimes one that does not.
    const int conn = waiting.empty() || pick % 8 == 7
                         ? static_cast<int>(pick % (next_conn_ + 1))
                         : waiting[pick % waiting.size()];
    const auto it = known_.find(conn);
    const bool awaiting = it != known_.end() && it->second.judged < 0;
    char reply[kTextBytes + 16];
    const bool init = table_.Judge(conn, request, n, now_, reply, sizeof reply);
    Require(init == (awaiting && IsInit(request, n)));
    char expected[kTextBytes + 16];
    ExpectedReply(init, expected, sizeof expected);
    Require(std::strcmp(reply, expected) == 0);
    if (init) {
      known_.erase(it);
      ++left_;
    } else if (awaiting) {
      it->second.judged = now_;
    }
  }

  void Advance(Ms by) {
    now_ += by;
    Expire();
  }

  // To the next deadline exactly: nothing happens a millisecond before it, something at it.
  void AdvanceToNextDeadline() {
    const Ms next = table_.NextDeadline();
    if (next == RendezvousTable::kNever) return;
    if (next > now_) {
      const std::size_t size = table_.size();
      const std::vector<int> before = Awaiting();
      now_ = next - 1;
      Expire();
      Require(table_.size() == size && Awaiting() == before && TakeRefusals() == 0);
      now_ = next;
    }
    const std::size_t size = table_.size();
    const std::vector<int> before = Awaiting();
    Expire();
    Require(table_.size() != size || Awaiting() != before || TakeRefusals() > 0);
  }

  int TakeRefusals() {
    uint32_t last = 0;
    const int n = table_.TakeRefusals(now_, &last);
    const bool due = refused_ > 0 && (reported_at_ == INT64_MIN || now_ >= reported_at_ +
                                                                             limits_.refusal_log_ms);
    Require(n == (due ? refused_ : 0));
    if (n > 0) {
      Require(last == last_refused_);
      reported_ += n;
      refused_ = 0;
      reported_at_ = now_;
    }
    return n;
  }

  // Long after every deadline: all connections have left, each once, and every refusal has
  // been reported.
  void Finish() {
    for (int i = 0; i < 3; ++i) Advance(limits_.first_bytes_ms + limits_.refresh_delay_ms +
                                        limits_.refusal_log_ms);
    TakeRefusals();
    Require(table_.size() == 0 && known_.empty() && refused_ == 0);
    Require(left_ + refusals_total() == next_conn_);
    Require(table_.NextDeadline() == RendezvousTable::kNever);
  }

 private:
  int refusals_total() const { return reported_; }

  std::vector<int> Awaiting() const {
    std::vector<int> v;
    table_.Awaiting(&v);
    std::sort(v.begin(), v.end());
    return v;
  }

  void Expire() {
    std::vector<int> done;
    table_.Expire(now_, &done);
    for (int conn : done) {
      const auto it = known_.find(conn);
      Require(it != known_.end());  // once only
      // Judged in an earlier step (by its request, or silent past its deadline), and its
      // refresh delay over.
      Require(it->second.judged >= 0 && now_ >= it->second.judged + limits_.refresh_delay_ms);
      known_.erase(it);
      ++left_;
    }
    // Silent ones past their deadline are judged now; nothing due is left behind.
    Ms next = refused_ > 0 ? (reported_at_ == INT64_MIN ? INT64_MIN
                                                        : reported_at_ + limits_.refusal_log_ms)
                           : RendezvousTable::kNever;
    std::vector<int> waiting;
    for (auto& k : known_) {
      if (k.second.judged < 0 && now_ >= k.second.admitted + limits_.first_bytes_ms)
        k.second.judged = now_;
      const Ms due = k.second.judged < 0 ? k.second.admitted + limits_.first_bytes_ms
                                         : k.second.judged + limits_.refresh_delay_ms;
      Require(due > now_);
      next = std::min(next, due);
      if (k.second.judged < 0) waiting.push_back(k.first);
    }
    Require(Awaiting() == waiting);
    Require(table_.NextDeadline() == next);
    Require(table_.size() == known_.size());
  }

  RendezvousLimits limits_;
  RendezvousTable table_;
  std::map<int, Known> known_;
  Ms now_ = 1000000;
  int next_conn_ = 0;
  int left_ = 0;  // connections that left the table
  int refused_ = 0, reported_ = 0;
  uint32_t last_refused_ = 0;
  Ms reported_at_ = INT64_MIN;
};

void RunScript(const uint8_t* data, std::size_t size) {
  if (size < 1) return;
  RendezvousLimits limits;
  // Small bounds, so that a short script reaches them; the real ones now and then.
  if (!(data[0] & 0x80)) {
    limits.per_source = 1 + (data[0] & 3);
    limits.total = 1 + ((data[0] >> 2) & 15);
  }
  Script script(limits);
  static const char* const kRequests[] = {"init\r\n", "go\r\n", "", "ini", "INIT", "initX"};
  std::size_t i = 1;
  int events = 0;
  while (i < size && events++ < 4096) {
    const uint8_t op = data[i++];
    const uint8_t arg = i < size ? data[i++] : 0;
    switch (op % 5) {
      case 0:
        script.Admit(0x0100007fu + (arg & 7));
        break;
      case 1: {
        // A request from the list, or the bytes that follow (their count in the low bits).
        if (arg & 0x80) {
          const std::size_t n = std::min<std::size_t>(arg & 15, size - i);
          char request[kRendezvousRequestBytes] = {};
          std::memcpy(request, data + i, n);
          i += n;
          script.Judge(op / 5u, request, n);
        } else {
          const char* r = kRequests[arg % 6];
          script.Judge(op / 5u, r, std::strlen(r));
        }
        break;
      }
      case 2:
        script.Advance(arg * 4);
        break;
      case 3:
        script.AdvanceToNextDeadline();
        break;
      case 4:
        script.TakeRefusals();
        break;
    }
  }
  script.Finish();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  SetTarget(data[0]);
  if (data[0] & 0x10)
    RunScript(data + 1, size - 1);
  else
    OneRequest(data + 1, size - 1);
  return 0;
}

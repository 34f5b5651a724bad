#pragma once
// The rendezvous service on TCP port 10510: "init" is answered with the target
// "group:port\r\n", anything else (also nothing) asks for a full refresh 200 ms later.
// One thread serves every open connection in one poll loop; each connection has a deadline,
// and one source address can hold only a few at a time.
#include <cstddef>
#include <cstdint>
#include <vector>

constexpr int kRendezvousPort = 10510;
constexpr int kRendezvousRequestBytes = 260;
constexpr int kRefreshDelayMs = 200;
// A viewer sends its request as soon as it is connected. Half a second leaves room for one
// lost request segment to be sent again (the least retransmission time-out is 200 ms on
// Linux, 300 ms on Windows) on a busy machine; a client still silent then counts as a refresh
// request.
constexpr int kRendezvousFirstBytesMs = 500;
// Open connections one source address may hold; further ones are closed at once. A viewer
// holds one at a time, at most 200 ms long ("go"): eight leave room for several viewers on
// one machine, and a hostile machine holds at most 1/32 of the table.
constexpr int kRendezvousPerSource = 8;
// Open connections in all. While that many are open the listener is left alone and new
// connections wait in the backlog; every open one ends within kRendezvousFirstBytesMs +
// kRefreshDelayMs, so the queue keeps moving. 256 descriptors leave most of the usual limit
// of 1024 to the rest of the server.
constexpr int kRendezvousTotal = 256;
// Connections the kernel has completed before the service takes them. Linux drops a SYN that
// finds this queue full, and the client tries again only a second later: with a queue of 5, a
// burst from a hostile host, or a classroom of viewers starting at once, made an "init" that
// came with it wait that second. As many as the table holds.
constexpr int kRendezvousBacklog = kRendezvousTotal;
// Refused connections are logged in one line at most this often.
constexpr int kRendezvousRefusalLogMs = 1000;

struct RendezvousLimits {
  int per_source = kRendezvousPerSource;
  int total = kRendezvousTotal;
  int first_bytes_ms = kRendezvousFirstBytesMs;
  int refresh_delay_ms = kRefreshDelayMs;
  int refusal_log_ms = kRendezvousRefusalLogMs;
};

// The service's open connections and what each waits for: its first bytes (until the
// first-bytes deadline) or, once judged a refresh request, the end of its refresh delay. No
// I/O and no clock of its own: times are milliseconds of a steady clock, passed in. Used by
// the rendezvous thread only (and by tests and the fuzz target).
class RendezvousTable {
 public:
  using Ms = int64_t;
  static constexpr Ms kNever = INT64_MAX;
  explicit RendezvousTable(const RendezvousLimits& limits = RendezvousLimits{});

  // No further connection may be admitted: the loop stops accepting.
  bool Full() const { return static_cast<int>(entries_.size()) >= limits_.total; }
  // conn was accepted from source (an IPv4 address). False: refused (its source holds
  // per_source already, or the table is full); the caller closes conn at once.
  bool Admit(int conn, uint32_t source, Ms now);
  // The first piece of conn's request: n bytes of a buffer zeroed past them (0: nothing, or a
  // failed receive). True for "init": reply holds the answer, conn has left the table, and the
  // caller sends the reply and closes conn. False: a refresh request; conn stays until its
  // refresh delay has passed (nothing happens for a conn that is not awaiting its request).
  bool Judge(int conn, const char* request, std::size_t n, Ms now, char* reply,
             std::size_t reply_size);
  // Connections whose first-bytes deadline has passed become refresh requests of nothing;
  // those whose refresh delay has passed leave the table and are appended to done: the caller
  // raises the refresh flag and closes them. *latest_judged (when given): when the last of
  // them was judged a refresh request, INT64_MIN when none was.
  void Expire(Ms now, std::vector<int>* done, Ms* latest_judged = nullptr);
  // The connections awaiting their first bytes, to be polled for input.
  void Awaiting(std::vector<int>* conns) const;
  // When Expire or TakeRefusals next has something to do (at or before now: at once);
  // kNever when nothing is pending.
  Ms NextDeadline() const;
  // The number of refusals to log now (one line for all since the last one, at most one line
  // per refusal_log_ms); 0 when none is due. *last_source: the address refused last.
  int TakeRefusals(Ms now, uint32_t* last_source);

  std::size_t size() const { return entries_.size(); }
  int OpenFrom(uint32_t source) const;

 private:
  enum class Wait { kRequest, kRefreshDelay };
  struct Entry {
    int conn;
    uint32_t source;
    Wait wait;
    Ms deadline;
    Ms judged;  // when it became a refresh request
  };
  RendezvousLimits limits_;
  std::vector<Entry> entries_;
  int refusals_ = 0;       // not yet logged
  uint32_t last_refused_ = 0;
  Ms next_refusal_log_ = INT64_MIN;
};

// Thread entry (start with StartThread); the argument is unused. Returns 0 when the service
// ends (listener failure, reported as "sock" 165 / "res != SOCKET_ERROR" 174, 177, or a
// failed accept that cannot be retried).
int RendezvousThread(void*);

// The steps of the thread, for tests and fuzzing.
// Socket, SO_REUSEADDR, bind to 0.0.0.0:port, listen; INVALID_SOCKET after the report.
int OpenRendezvousListener(int port);
// Accepts and serves connections until accept fails for good; returns 0. The listener is
// made non-blocking.
int ServeRendezvous(int listener, const RendezvousLimits& limits = RendezvousLimits{});
// conn is readable: receives its first piece (one Receive of at most 260 bytes) and has the
// table judge it; an "init" is answered, shut down and closed here.
void ReadRendezvousRequest(RendezvousTable& table, int conn, RendezvousTable::Ms now);
// Refresh requests whose delay has passed (from RendezvousTable::Expire), the last of them
// judged at `judged`: raises g_full_refresh, unless a full refresh has begun since then
// (g_refresh_began_ms), which serves them already; then shuts each connection down and
// closes it.
void FinishRefreshRequests(const std::vector<int>& conns,
                           RendezvousTable::Ms judged = RendezvousTable::kNever);
// Judges one request buffer (n bytes, the buffer zeroed past them). True for "init": reply
// holds the text to send (group and port copied as one pair under g_target_mutex). False: a
// refresh request; reply is set to "".
bool HandleRendezvousRequest(const char* request, std::size_t n, char* reply,
                             std::size_t reply_size);

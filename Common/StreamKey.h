#pragma once
// The stream key: an optional passphrase shared by a server and its viewers, so that nobody
// else on the LAN can draw on the viewers' screens or move their pointers.
//
// With a key the server appends a 32-byte trailer to every datagram, right after the
// 20 + length bytes of header and payload (little-endian):
//   session   8 bytes  the server run: start time in ms since 1970 in the high 44 bits, a
//                      random number in the low 20 (two runs started in one ms still differ)
//   sequence  8 bytes  0, 1, 2, ... for the datagrams of the run in send order
//   tag      16 bytes  HMAC-SHA-256 of everything before it (header, payload, session,
//                      sequence), cut to its first 16 bytes
// `length` keeps counting the payload only, so a viewer without a key, which reads nothing
// past 20 + length, shows a keyed stream as before.
//
// The key is derived from the passphrase with Argon2id (libsodium), 3 passes over 64 MiB,
// about 0.1 s of CPU once at start: every guess of an offline attack on a recorded datagram
// costs the same. The salt is fixed ("Orvane VARNO key"): server and viewers share nothing but the
// passphrase, and a salt of the group would change the key with every new target.
//
// Portable: no X11, Qt or SQLite here; libsodium stays inside the .cpp.
#include <cstddef>
#include <cstdint>
#include <memory>

constexpr std::size_t kStreamSessionBytes = 8;
constexpr std::size_t kStreamSequenceBytes = 8;
constexpr std::size_t kStreamTagBytes = 16;
constexpr std::size_t kStreamTrailerBytes =
    kStreamSessionBytes + kStreamSequenceBytes + kStreamTagBytes;  // 32
constexpr std::size_t kStreamKeyBytes = 32;

// Sequence numbers a viewer remembers behind the newest one: far more than a LAN reorders,
// and more than one full refresh of a photo-like 1080p screen (about 4,000 datagrams).
constexpr uint64_t kReplayWindow = 4096;
// An older session may replace the accepted one only after the latter has been silent this
// long: a server restarted after its clock went back shows again, while a live server (which
// sends at least an UPDATE_AREA every second) can never be displaced by a recording.
constexpr int64_t kSessionTakeoverMs = 10000;
// Drops closer together than this form one burst, which gets one log line.
constexpr int64_t kDropBurstGapMs = 10000;

// The MAC key, derived once; the HMAC's inner and outer states are prepared here so that each
// datagram costs only its own bytes. Wiped on destruction. Read-only after set-up, so a sealer
// and a checker may use it from any thread.
class StreamKey {
 public:
  StreamKey();
  ~StreamKey();
  StreamKey(StreamKey&&) noexcept;
  StreamKey& operator=(StreamKey&&) noexcept;
  StreamKey(const StreamKey&) = delete;
  StreamKey& operator=(const StreamKey&) = delete;

  // Argon2id of the passphrase's bytes as stored (UTF-8, nothing trimmed). False for an empty
  // passphrase ("no key") and when the KDF cannot get its memory (the last error is then
  // ENOMEM); the key is then unset.
  bool Derive(const char* passphrase, std::size_t bytes);
  // A key given as it is: tests, the fuzzer and the benchmark, which must not pay the KDF.
  void SetRaw(const uint8_t raw[kStreamKeyBytes]);
  bool valid() const { return state_ != nullptr; }

  // The 16-byte tag of data[0..n). The key must be valid.
  void Tag(const uint8_t* data, std::size_t n, uint8_t out[kStreamTagBytes]) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The sending side's hook: called by the sender for every datagram in send order, pointer
// datagrams included. The buffers it is given have TrailerBytes() of room after the datagram.
class DatagramSealer {
 public:
  virtual ~DatagramSealer() = default;
  virtual std::size_t TrailerBytes() const = 0;                         // fixed per run
  virtual std::size_t Seal(uint8_t* datagram, std::size_t length) = 0;  // new length
};

// Session number of a server run started at unix_ms (ms since 1970), with 20 random bits.
uint64_t MakeSessionNumber(uint64_t unix_ms, uint32_t random_bits);
// The same from the wall clock and libsodium's random source.
uint64_t NewSessionNumber();

// Appends the trailer of (session, sequence) to datagram[0..length): the bytes of length ..
// length + 32 are written. Returns length + 32. No checks: the sealer and the fuzzer use it.
std::size_t AppendStreamTrailer(const StreamKey& key, uint8_t* datagram, std::size_t length,
                                uint64_t session, uint64_t sequence);

// One server run's sealer: numbers its datagrams from first_sequence on. One thread (the
// sender's) calls Seal.
class StreamSealer final : public DatagramSealer {
 public:
  StreamSealer(StreamKey key, uint64_t session, uint64_t first_sequence = 0);
  std::size_t TrailerBytes() const override { return kStreamTrailerBytes; }
  // datagram holds length = 20 + its length field bytes and 32 bytes of room after them.
  // Returns length + 32; 0 when the datagram is not whole (under 20 bytes, or its length
  // field disagrees), when it would exceed 65507 bytes sealed, or when the sequence numbers
  // are spent (2^64 - 1 of them): such a datagram must not be sent.
  std::size_t Seal(uint8_t* datagram, std::size_t length) override;

  uint64_t session() const { return session_; }
  uint64_t next_sequence() const { return next_; }

 private:
  StreamKey key_;
  uint64_t session_;
  uint64_t next_;
};

enum class StreamVerdict : uint8_t {
  kAccepted,
  kNoTrailer,     // exactly 20 + length bytes: an unkeyed server, or a forger without the key
  kMalformed,     // under 20 bytes, or a size that is neither of the two above
  kBadTag,        // a trailer whose tag does not match: another key, or altered bytes
  kOldSession,    // a session older than the one accepted, which is not silent
  kReplayed,      // a sequence number of this session seen already
  kBehindWindow,  // over kReplayWindow behind the newest, before this viewer joined the
                  // session, or a session taken again at or below its newest seen number
};
constexpr int kStreamVerdicts = 7;

struct StreamCheck {
  StreamVerdict verdict = StreamVerdict::kMalformed;
  std::size_t length = 0;  // accepted: the datagram's bytes without its trailer
  bool log_drop = false;   // a drop that begins a burst: log StreamDropText(verdict), once
};

// The log line's text for a dropped datagram (no line break; never holds key material).
const char* StreamDropText(StreamVerdict verdict);

// The viewer's check, one datagram at a time on the receive thread (not thread-safe). Tags are
// compared before any state changes, so forged datagrams cannot move the window or the
// session. Sessions: the first valid one is taken; a newer one replaces it at once (a
// restarted server); an older one only after kSessionTakeoverMs of silence of the accepted
// one. A session taken again continues only above the newest number seen of it, so what was
// shown once is never shown twice, and a recording replayed while the server was silent gives
// way as soon as the live (newer) server speaks.
class StreamChecker {
 public:
  explicit StreamChecker(StreamKey key);

  // n: the bytes received. now_ms: a monotonic clock (takeover and bursts).
  StreamCheck Check(const uint8_t* datagram, std::size_t n, int64_t now_ms);

  // Datagrams lost since the last call: sequence numbers above the newest one seen at that
  // call, up to the newest now, that have not arrived (a late one that comes before the
  // next call is not counted), plus what replaced sessions lost since then. For the refresh
  // decision.
  uint64_t TakeNewLoss();
  // Exact loss so far: over every session taken, the sequence numbers from the first one
  // accepted to the newest that have not arrived. Late arrivals inside the window lower it.
  uint64_t lost() const;
  uint64_t count(StreamVerdict verdict) const { return counts_[static_cast<int>(verdict)]; }
  bool has_session() const { return has_session_; }
  uint64_t session() const { return session_; }
  uint64_t newest() const { return newest_; }

 private:
  // A session left earlier, with the newest sequence number accepted of it.
  struct PastSession {
    uint64_t session, newest;
  };
  StreamVerdict Window(uint64_t sequence);
  void StartSession(uint64_t session, uint64_t sequence);
  const PastSession* FindPast(uint64_t session) const;
  void RememberCurrent();
  uint64_t SessionLoss() const { return (newest_ - first_) - (accepted_ - 1); }
  uint64_t PendingLoss() const { return (newest_ - mark_) - accepted_above_mark_; }
  StreamCheck Drop(StreamVerdict verdict, int64_t now_ms);

  StreamKey key_;
  bool has_session_ = false;
  uint64_t session_ = 0;
  uint64_t first_ = 0;    // first sequence number accepted in this session
  uint64_t newest_ = 0;   // highest sequence number accepted
  uint64_t accepted_ = 0; // distinct sequence numbers accepted in this session
  uint64_t seen_[kReplayWindow / 64] = {};  // bit (s % window) for s in (newest - window, newest]
  int64_t last_accept_ms_ = 0;
  uint64_t mark_ = 0;                 // newest at the last TakeNewLoss (or session start)
  uint64_t accepted_above_mark_ = 0;  // accepted sequence numbers above mark_
  uint64_t carried_new_loss_ = 0;     // pending loss of replaced sessions
  uint64_t lost_before_ = 0;          // loss of replaced sessions
  // Server restarts seen by one viewer run; the oldest is forgotten first.
  static constexpr int kPastSessions = 64;
  PastSession past_[kPastSessions] = {};
  int past_count_ = 0;
  int past_next_ = 0;
  bool dropped_before_ = false;
  int64_t last_drop_ms_ = 0;
  uint64_t counts_[kStreamVerdicts] = {};
};

#include "Common/StreamKey.h"

#include <sodium.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "Common/UpdateHeader.h"
#include "platform/LastError.h"

namespace {

// Fixed for all time: changing any of them changes every key.
constexpr unsigned long long kKdfPasses = 3;
constexpr std::size_t kKdfMemory = std::size_t{64} << 20;
constexpr unsigned char kKdfSalt[crypto_pwhash_SALTBYTES] = {'O', 'r', 'v', 'a', 'n', 'e', ' ',
                                                             'V', 'A', 'R', 'N', 'O', ' ', 'k',
                                                             'e', 'y'};
constexpr uint64_t kLastSequence = UINT64_MAX - 1;  // the checker's loss sums stay in range

void Put64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint64_t Get64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v |= uint64_t{p[i]} << (8 * i);
  return v;
}
std::size_t PayloadLength(const uint8_t* datagram) {
  return static_cast<std::size_t>(datagram[2] | (datagram[3] << 8));
}

}  // namespace

struct StreamKey::State {
  crypto_auth_hmacsha256_state hmac;  // after the key: inner and outer pads absorbed
};

StreamKey::StreamKey() = default;
StreamKey::~StreamKey() {
  if (state_) sodium_memzero(state_.get(), sizeof(State));
}
StreamKey::StreamKey(StreamKey&&) noexcept = default;
StreamKey& StreamKey::operator=(StreamKey&& other) noexcept {
  if (this != &other) {
    if (state_) sodium_memzero(state_.get(), sizeof(State));
    state_ = std::move(other.state_);
  }
  return *this;
}

bool StreamKey::Derive(const char* passphrase, std::size_t bytes) {
  state_.reset();
  if (bytes == 0 || sodium_init() < 0) return false;
  uint8_t raw[kStreamKeyBytes];
  if (crypto_pwhash(raw, sizeof raw, passphrase, bytes, kKdfSalt, kKdfPasses, kKdfMemory,
                    crypto_pwhash_ALG_ARGON2ID13) != 0) {
    SetLastError(ENOMEM);  // its only failure here; the caller's report shows the reason
    return false;
  }
  SetRaw(raw);
  sodium_memzero(raw, sizeof raw);
  return true;
}

void StreamKey::SetRaw(const uint8_t raw[kStreamKeyBytes]) {
  if (sodium_init() < 0) return;
  auto state = std::make_unique<State>();
  crypto_auth_hmacsha256_init(&state->hmac, raw, kStreamKeyBytes);
  state_ = std::move(state);
}

void StreamKey::Tag(const uint8_t* data, std::size_t n, uint8_t out[kStreamTagBytes]) const {
  crypto_auth_hmacsha256_state s = state_->hmac;
  uint8_t full[crypto_auth_hmacsha256_BYTES];
  crypto_auth_hmacsha256_update(&s, data, n);
  crypto_auth_hmacsha256_final(&s, full);
  std::memcpy(out, full, kStreamTagBytes);
  sodium_memzero(&s, sizeof s);
}

uint64_t MakeSessionNumber(uint64_t unix_ms, uint32_t random_bits) {
  return (unix_ms << 20) | (random_bits & 0xFFFFF);
}

uint64_t NewSessionNumber() {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  if (sodium_init() < 0) return MakeSessionNumber(static_cast<uint64_t>(ms.count()), 0);
  return MakeSessionNumber(static_cast<uint64_t>(ms.count()), randombytes_random());
}

std::size_t AppendStreamTrailer(const StreamKey& key, uint8_t* datagram, std::size_t length,
                                uint64_t session, uint64_t sequence) {
  uint8_t* trailer = datagram + length;
  Put64(trailer, session);
  Put64(trailer + kStreamSessionBytes, sequence);
  const std::size_t covered = length + kStreamSessionBytes + kStreamSequenceBytes;
  key.Tag(datagram, covered, datagram + covered);
  return length + kStreamTrailerBytes;
}

StreamSealer::StreamSealer(StreamKey key, uint64_t session, uint64_t first_sequence)
    : key_(std::move(key)), session_(session), next_(first_sequence) {}

std::size_t StreamSealer::Seal(uint8_t* datagram, std::size_t length) {
  if (!key_.valid() || length < kUpdateHeaderBytes ||
      length != kUpdateHeaderBytes + PayloadLength(datagram) ||
      length + kStreamTrailerBytes > kMaxDatagramBytes || next_ > kLastSequence)
    return 0;
  return AppendStreamTrailer(key_, datagram, length, session_, next_++);
}

const char* StreamDropText(StreamVerdict verdict) {
  switch (verdict) {
    case StreamVerdict::kAccepted: return "";
    case StreamVerdict::kNoTrailer:
      return "Dropping datagrams without a stream key: the server has no StreamKey or is an "
             "older one, or another host sends to the group";
    case StreamVerdict::kMalformed:
      return "Dropping datagrams whose size fits no stream key trailer";
    case StreamVerdict::kBadTag:
      return "Dropping datagrams that fail the stream key check: the server uses another "
             "StreamKey, or another host sends to the group";
    case StreamVerdict::kOldSession:
      return "Dropping datagrams of an earlier server run (a replay, or a server whose clock "
             "went back)";
    case StreamVerdict::kReplayed:
      return "Dropping datagrams received before (a replay, or a network that duplicates)";
    case StreamVerdict::kBehindWindow:
      return "Dropping datagrams far behind the stream (a replay, or heavy reordering)";
  }
  return "";
}

StreamChecker::StreamChecker(StreamKey key) : key_(std::move(key)) {}

StreamCheck StreamChecker::Drop(StreamVerdict verdict, int64_t now_ms) {
  ++counts_[static_cast<int>(verdict)];
  StreamCheck result;
  result.verdict = verdict;
  result.log_drop = !dropped_before_ || now_ms - last_drop_ms_ >= kDropBurstGapMs;
  dropped_before_ = true;
  last_drop_ms_ = now_ms;
  return result;
}

StreamCheck StreamChecker::Check(const uint8_t* datagram, std::size_t n, int64_t now_ms) {
  // 1. The size: the trailer sits exactly after 20 + length.
  if (n < kUpdateHeaderBytes) return Drop(StreamVerdict::kMalformed, now_ms);
  const std::size_t body = kUpdateHeaderBytes + PayloadLength(datagram);
  if (n == body) return Drop(StreamVerdict::kNoTrailer, now_ms);
  if (n != body + kStreamTrailerBytes || !key_.valid())
    return Drop(StreamVerdict::kMalformed, now_ms);
  // 2. The tag, before anything of the trailer is believed.
  const std::size_t covered = n - kStreamTagBytes;
  uint8_t tag[kStreamTagBytes];
  key_.Tag(datagram, covered, tag);
  if (crypto_verify_16(tag, datagram + covered) != 0) return Drop(StreamVerdict::kBadTag, now_ms);
  const uint64_t session = Get64(datagram + body);
  const uint64_t sequence = Get64(datagram + body + kStreamSessionBytes);
  // 3. The session, then the sequence number.
  StreamVerdict verdict = StreamVerdict::kAccepted;
  const PastSession* past = nullptr;
  if (has_session_ && session == session_) {
    verdict = Window(sequence);
  } else if (has_session_ && session < session_ &&
             now_ms - last_accept_ms_ < kSessionTakeoverMs) {
    verdict = StreamVerdict::kOldSession;
  } else if ((past = FindPast(session)) && sequence <= past->newest) {
    verdict = StreamVerdict::kBehindWindow;  // that run got this far already: a replay
  } else {
    StartSession(session, sequence);
  }
  if (verdict != StreamVerdict::kAccepted) return Drop(verdict, now_ms);
  ++counts_[static_cast<int>(verdict)];
  last_accept_ms_ = now_ms;
  StreamCheck result;
  result.verdict = verdict;
  result.length = body;
  return result;
}

StreamVerdict StreamChecker::Window(uint64_t sequence) {
  auto bit = [this](uint64_t s) -> uint64_t& { return seen_[(s % kReplayWindow) / 64]; };
  auto mask = [](uint64_t s) { return uint64_t{1} << (s % 64); };
  if (sequence > newest_) {
    const uint64_t ahead = sequence - newest_;
    if (ahead >= kReplayWindow) {
      std::memset(seen_, 0, sizeof seen_);
    } else {
      for (uint64_t s = newest_ + 1; s < sequence; ++s) bit(s) &= ~mask(s);
    }
    bit(sequence) |= mask(sequence);
    newest_ = sequence;
  } else {
    if (sequence < first_ || newest_ - sequence >= kReplayWindow)
      return StreamVerdict::kBehindWindow;
    if (bit(sequence) & mask(sequence)) return StreamVerdict::kReplayed;
    bit(sequence) |= mask(sequence);
  }
  ++accepted_;
  if (sequence > mark_) ++accepted_above_mark_;
  return StreamVerdict::kAccepted;
}

void StreamChecker::StartSession(uint64_t session, uint64_t sequence) {
  if (has_session_) {
    lost_before_ += SessionLoss();
    carried_new_loss_ += PendingLoss();
    RememberCurrent();
  }
  has_session_ = true;
  session_ = session;
  first_ = newest_ = mark_ = sequence;
  accepted_ = 1;
  accepted_above_mark_ = 0;
  std::memset(seen_, 0, sizeof seen_);
  seen_[(sequence % kReplayWindow) / 64] |= uint64_t{1} << (sequence % 64);
}

const StreamChecker::PastSession* StreamChecker::FindPast(uint64_t session) const {
  for (int i = 0; i < past_count_; ++i)
    if (past_[i].session == session) return &past_[i];
  return nullptr;
}

void StreamChecker::RememberCurrent() {
  for (int i = 0; i < past_count_; ++i) {
    if (past_[i].session == session_) {
      past_[i].newest = newest_;  // only ever resumed above its old newest, so this is higher
      return;
    }
  }
  past_[past_next_] = PastSession{session_, newest_};
  past_next_ = (past_next_ + 1) % kPastSessions;
  if (past_count_ < kPastSessions) ++past_count_;
}

uint64_t StreamChecker::TakeNewLoss() {
  uint64_t loss = carried_new_loss_;
  carried_new_loss_ = 0;
  if (has_session_) {
    loss += PendingLoss();
    mark_ = newest_;
    accepted_above_mark_ = 0;
  }
  return loss;
}

uint64_t StreamChecker::lost() const {
  return lost_before_ + (has_session_ ? SessionLoss() : 0);
}

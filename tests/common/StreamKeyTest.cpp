// The stream key: key derivation, the trailer's bytes, the sealer's limits, and the viewer's
// checker (sizes, tags, sessions, the replay window, the loss count, one log line per burst).
#include "Common/StreamKey.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "Common/UpdateHeader.h"

namespace {

using V = StreamVerdict;
constexpr uint64_t W = kReplayWindow;

StreamKey RawKey(uint8_t first = 0) {
  uint8_t raw[kStreamKeyBytes];
  for (std::size_t i = 0; i < sizeof raw; ++i) raw[i] = static_cast<uint8_t>(first + i);
  StreamKey key;
  key.SetRaw(raw);
  return key;
}

// An unsealed datagram of the given payload size, with room for the trailer.
std::vector<uint8_t> Datagram(uint16_t kind, std::size_t payload, int32_t l = 1, int32_t t = 2,
                              int32_t r = 30, int32_t b = 40) {
  std::vector<uint8_t> d(kUpdateHeaderBytes + payload + kStreamTrailerBytes);
  EncodeUpdateHeader(UpdateHeader{kind, static_cast<uint16_t>(payload), l, t, r, b}, d.data());
  for (std::size_t i = 0; i < payload; ++i) d[kUpdateHeaderBytes + i] = static_cast<uint8_t>(i * 13);
  return d;
}

// A sealed datagram of (session, sequence) under the raw key 0..31.
std::vector<uint8_t> Sealed(uint64_t session, uint64_t sequence, std::size_t payload = 10,
                            uint8_t key_first = 0) {
  static const StreamKey usual = RawKey();
  std::vector<uint8_t> d = Datagram(UPDATE_BLOCK, payload);
  const std::size_t n = kUpdateHeaderBytes + payload;
  if (key_first == 0) AppendStreamTrailer(usual, d.data(), n, session, sequence);
  else AppendStreamTrailer(RawKey(key_first), d.data(), n, session, sequence);
  return d;
}

StreamVerdict CheckAt(StreamChecker& c, const std::vector<uint8_t>& d, int64_t now = 0) {
  return c.Check(d.data(), d.size(), now).verdict;
}

std::string Hex(const uint8_t* p, std::size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s += {kDigits[p[i] >> 4], kDigits[p[i] & 15]};
  return s;
}

TEST(StreamKeyTest, KeyIsArgon2idOfThePassphraseAndTagsAreHmacSha256CutTo16) {
  // What a second implementation must do to interoperate: Argon2id v1.3, 3 passes, 64 MiB,
  // salt "Orvane VARNO key", 32 bytes; HMAC-SHA-256 of the bytes, first 16 bytes.
  ASSERT_GE(sodium_init(), 0);
  const char passphrase[] = "Klassenzimmer 3b";
  uint8_t expected_key[32];
  ASSERT_EQ(0, crypto_pwhash(expected_key, 32, passphrase, std::strlen(passphrase),
                             reinterpret_cast<const unsigned char*>("Orvane VARNO key"), 3,
                             std::size_t{64} << 20, crypto_pwhash_ALG_ARGON2ID13));
  StreamKey key;
  ASSERT_TRUE(key.Derive(passphrase, std::strlen(passphrase)));
  const std::vector<uint8_t> d = Datagram(UPDATE_POINTER, 0, 400, 300, 0, 0);
  uint8_t tag[16], full[32];
  key.Tag(d.data(), 20, tag);
  crypto_auth_hmacsha256(full, d.data(), 20, expected_key);
  EXPECT_EQ(Hex(tag, 16), Hex(full, 16));

  // One byte more, one byte different: other keys. Empty: no key.
  struct Case { const char* text; std::size_t n; bool valid; bool same_as_first; };
  const Case cases[] = {{passphrase, std::strlen(passphrase), true, true},
                        {"Klassenzimmer 3c", 16, true, false},
                        {"Klassenzimmer 3b ", 17, true, false},
                        {"", 0, false, false}};
  for (const Case& c : cases) {
    StreamKey other;
    EXPECT_EQ(other.Derive(c.text, c.n), c.valid) << c.text;
    EXPECT_EQ(other.valid(), c.valid);
    if (!c.valid) continue;
    uint8_t other_tag[16];
    other.Tag(d.data(), 20, other_tag);
    EXPECT_EQ(std::memcmp(tag, other_tag, 16) == 0, c.same_as_first) << c.text;
  }
}

TEST(StreamKeyTest, TrailerBytesFollowThePayload) {
  // Expected tags from an independent HMAC-SHA-256 (Python's hmac) with the key 00 01 .. 1f.
  struct Case {
    std::vector<uint8_t> body; uint64_t session, sequence; const char* tag;
  };
  std::vector<uint8_t> pointer(20), block(23);
  EncodeUpdateHeader(UpdateHeader{UPDATE_POINTER, 0, 400, 300, 0, 0}, pointer.data());
  EncodeUpdateHeader(UpdateHeader{UPDATE_BLOCK, 3, -5, 7, 100, 9}, block.data());
  std::memcpy(block.data() + 20, "xyz", 3);
  const Case cases[] = {
      {pointer, 0x0123456789ABCDEF, 5, "c0e4b665950fa7c64cfa26e9f548776e"},
      {block, 0xFEDCBA9876543210, 0x1122334455667788, "4d866f9325f21d1c135ea18054fbff1d"},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> d = c.body;
    d.resize(d.size() + 32, 0xEE);
    ASSERT_EQ(AppendStreamTrailer(RawKey(), d.data(), c.body.size(), c.session, c.sequence),
              c.body.size() + 32);
    const uint8_t* t = d.data() + c.body.size();
    uint64_t session = 0, sequence = 0;
    for (int i = 7; i >= 0; --i) session = session << 8 | t[i];
    for (int i = 7; i >= 0; --i) sequence = sequence << 8 | t[8 + i];
    EXPECT_EQ(session, c.session);
    EXPECT_EQ(sequence, c.sequence);
    EXPECT_EQ(Hex(t + 16, 16), c.tag);
    EXPECT_TRUE(std::equal(c.body.begin(), c.body.end(), d.begin())) << "header and payload kept";
    UpdateHeader h;
    ASSERT_TRUE(DecodeUpdateHeader(d.data(), d.size(), h));
    EXPECT_EQ(h.length, c.body.size() - 20) << "length still counts the payload only";
  }
}

TEST(StreamKeyTest, SealerRefusesWhatMustNotBeSentAndNumbersTheRest) {
  constexpr std::size_t kMaxPayload = kMaxDatagramBytes - 20 - 32;  // 65455
  struct Case {
    const char* what; std::size_t payload; long length_delta; long field_delta; std::size_t want;
  };
  const Case cases[] = {
      {"pointer", 0, 0, 0, 52},
      {"block", 100, 0, 0, 152},
      {"largest datagram sealed", kMaxPayload, 0, 0, kMaxDatagramBytes},
      {"one byte over the largest", kMaxPayload + 1, 0, 0, 0},
      {"one byte under the largest", kMaxPayload - 1, 0, 0, kMaxDatagramBytes - 1},
      {"under 20 bytes", 0, -1, 0, 0},
      {"length field one short", 100, 0, -1, 0},
      {"length field one long", 100, 0, +1, 0},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> d = Datagram(UPDATE_BLOCK, c.payload);
    const uint16_t field = static_cast<uint16_t>(c.payload + c.field_delta);
    d[2] = static_cast<uint8_t>(field);
    d[3] = static_cast<uint8_t>(field >> 8);
    StreamSealer sealer(RawKey(), 77);
    EXPECT_EQ(sealer.Seal(d.data(), 20 + c.payload + c.length_delta), c.want) << c.what;
    EXPECT_EQ(sealer.next_sequence(), c.want ? 1u : 0u) << c.what << ": numbers only what it seals";
  }

  // Numbers run on per datagram and stop before 2^64 - 1.
  StreamSealer sealer(RawKey(), 77, UINT64_MAX - 2);
  StreamChecker checker(RawKey());
  for (int i = 0; i < 3; ++i) {
    std::vector<uint8_t> d = Datagram(UPDATE_POINTER, 0);
    const std::size_t n = sealer.Seal(d.data(), 20);
    EXPECT_EQ(n, i < 2 ? 52u : 0u) << i;
    if (n) {
      EXPECT_EQ(CheckAt(checker, d), V::kAccepted) << i;
    }
  }
  EXPECT_EQ(checker.newest(), UINT64_MAX - 1);
  EXPECT_EQ(sealer.session(), 77u);
}

TEST(StreamKeyTest, CheckerJudgesTheSizeBeforeTheTag) {
  const uint64_t s = 5;
  struct Case { const char* what; std::size_t payload; long cut; long field_delta; V want; };
  const Case cases[] = {
      {"whole", 10, 0, 0, V::kAccepted},
      {"trailer missing by one byte", 10, -1, 0, V::kMalformed},
      {"one byte past the trailer", 10, +1, 0, V::kMalformed},
      {"no trailer at all", 10, -32, 0, V::kNoTrailer},
      {"unkeyed pointer", 0, -32, 0, V::kNoTrailer},
      {"19 bytes", 0, -33, 0, V::kMalformed},
      {"length field one short of the trailer", 10, 0, -1, V::kMalformed},
      {"length field one past the trailer's start", 10, 0, +1, V::kMalformed},
      {"length field covering the trailer", 10, 0, 32, V::kNoTrailer},
      {"largest datagram", kMaxDatagramBytes - 52, 0, 0, V::kAccepted},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> d = Sealed(s, 0, c.payload);
    const uint16_t field = static_cast<uint16_t>(c.payload + c.field_delta);
    d[2] = static_cast<uint8_t>(field);
    d[3] = static_cast<uint8_t>(field >> 8);
    d.resize(d.size() + c.cut, 0);
    StreamChecker checker(RawKey());
    const StreamCheck r = checker.Check(d.data(), d.size(), 0);
    EXPECT_EQ(r.verdict, c.want) << c.what;
    if (c.want == V::kAccepted) {
      EXPECT_EQ(r.length, 20 + c.payload) << c.what;
    }
    EXPECT_EQ(checker.has_session(), c.want == V::kAccepted) << c.what;
  }
}

TEST(StreamKeyTest, EveryFlippedBitAndEveryOtherKeyIsRefusedWithoutChangingTheState) {
  const uint64_t session = MakeSessionNumber(1700000000000, 3);
  StreamChecker checker(RawKey());
  ASSERT_EQ(CheckAt(checker, Sealed(session, 10, 40)), V::kAccepted);
  const std::vector<uint8_t> good = Sealed(session, 11, 40);
  struct Field { const char* name; std::size_t from, to; V want; };
  const std::size_t trailer = 20 + 40;
  const Field fields[] = {
      {"kind", 0, 2, V::kBadTag},           {"length", 2, 4, V::kMalformed},
      {"rectangle", 4, 20, V::kBadTag},     {"payload", 20, trailer, V::kBadTag},
      {"session", trailer, trailer + 8, V::kBadTag},
      {"sequence", trailer + 8, trailer + 16, V::kBadTag},
      {"tag", trailer + 16, trailer + 32, V::kBadTag},
  };
  for (const Field& f : fields) {
    for (std::size_t i = f.from; i < f.to; ++i) {
      for (int bit = 0; bit < 8; ++bit) {
        std::vector<uint8_t> d = good;
        d[i] ^= static_cast<uint8_t>(1 << bit);
        EXPECT_EQ(CheckAt(checker, d), f.want) << f.name << " byte " << i << " bit " << bit;
      }
    }
  }
  for (uint8_t other : {1, 32, 255}) {
    EXPECT_EQ(CheckAt(checker, Sealed(session, 11, 40, other)), V::kBadTag) << int{other};
    EXPECT_EQ(CheckAt(checker, Sealed(session + 1, 12, 40, other)), V::kBadTag) << int{other};
  }
  EXPECT_EQ(checker.session(), session);
  EXPECT_EQ(checker.newest(), 10u);
  EXPECT_EQ(CheckAt(checker, good), V::kAccepted) << "refusals left the window as it was";
  EXPECT_EQ(checker.lost(), 0u);
}

// One datagram arrival and what follows.
struct Step { uint64_t sequence; V want; uint64_t lost; };

TEST(StreamKeyTest, ReplayWindowEdgesReorderingAndLoss) {
  const uint64_t F = 1000;
  struct Scenario { const char* name; std::vector<Step> steps; };
  const Scenario scenarios[] = {
      {"reordering inside the window, then replays",
       {{F, V::kAccepted, 0}, {F + 2, V::kAccepted, 1}, {F + 1, V::kAccepted, 0},
        {F + 3, V::kAccepted, 0}, {F + 1, V::kReplayed, 0}, {F + 3, V::kReplayed, 0},
        {F, V::kReplayed, 0}}},
      {"before the first one accepted",
       {{F, V::kAccepted, 0}, {F - 1, V::kBehindWindow, 0}, {0, V::kBehindWindow, 0}}},
      {"a jump of exactly the window",
       {{F, V::kAccepted, 0}, {F + W, V::kAccepted, W - 1},
        {F + 1, V::kAccepted, W - 2},      // W - 1 behind: still inside
        {F, V::kBehindWindow, W - 2},      // W behind: outside, seen or not
        {F + 1, V::kReplayed, W - 2}}},
      {"a jump of the window minus one",
       {{F, V::kAccepted, 0}, {F + W - 1, V::kAccepted, W - 2}, {F, V::kReplayed, W - 2},
        {F + 1, V::kAccepted, W - 3}}},
      {"a jump of the window plus one",
       {{F, V::kAccepted, 0}, {F + W + 1, V::kAccepted, W}, {F + 1, V::kBehindWindow, W},
        {F + 2, V::kAccepted, W - 1}, {F + 2, V::kReplayed, W - 1}}},
      {"marks of numbers that left the window do not stick to new ones",
       {{F, V::kAccepted, 0}, {F + 1, V::kAccepted, 0}, {F + 2, V::kAccepted, 0},
        {F + W + 1, V::kAccepted, W - 2},
        {F + W, V::kAccepted, W - 3},       // shares its slot with F
        {F + 2, V::kReplayed, W - 3},       // W - 1 behind, seen
        {F + 1, V::kBehindWindow, W - 3}}},
      {"a huge jump",
       {{0, V::kAccepted, 0}, {uint64_t{1} << 40, V::kAccepted, (uint64_t{1} << 40) - 1},
        {(uint64_t{1} << 40) - W + 1, V::kAccepted, (uint64_t{1} << 40) - 2},
        {(uint64_t{1} << 40) - W, V::kBehindWindow, (uint64_t{1} << 40) - 2}}},
      {"the last sequence number",
       {{UINT64_MAX - 3, V::kAccepted, 0}, {UINT64_MAX - 1, V::kAccepted, 1},
        {UINT64_MAX - 2, V::kAccepted, 0}, {UINT64_MAX - 1, V::kReplayed, 0}}},
  };
  for (const Scenario& sc : scenarios) {
    StreamChecker checker(RawKey());
    int i = 0;
    for (const Step& st : sc.steps) {
      EXPECT_EQ(CheckAt(checker, Sealed(9, st.sequence)), st.want) << sc.name << " step " << i;
      EXPECT_EQ(checker.lost(), st.lost) << sc.name << " step " << i;
      ++i;
    }
  }
}

TEST(StreamKeyTest, LossCountIsExactUnderRandomLossReorderingAndDuplicates) {
  std::mt19937 rng(14);
  for (int round = 0; round < 12; ++round) {
    // Send 20,000 numbers from a random start; lose ~3 %, duplicate ~1 %, and deliver each
    // up to `spread` places late (some rounds beyond the window).
    const uint64_t start = rng() % 100000;
    const int spread = round % 4 == 3 ? 6000 : 40;
    std::vector<std::pair<uint64_t, uint64_t>> arrivals;  // (arrival key, sequence)
    for (uint64_t s = start; s < start + 20000; ++s) {
      if (rng() % 100 < 3 && s != start) continue;
      const uint64_t key = (s - start) * 8 + rng() % (spread * 8 + 1);
      arrivals.push_back({s == start ? 0 : key, s});
      if (rng() % 100 == 0) arrivals.push_back({key + rng() % 64, s});
    }
    std::stable_sort(arrivals.begin(), arrivals.end());
    StreamChecker checker(RawKey());
    std::set<uint64_t> accepted;
    uint64_t newest = 0, taken = 0;
    for (const auto& a : arrivals) {
      const V v = CheckAt(checker, Sealed(3, a.second, 0));
      if (v == V::kAccepted) {
        EXPECT_TRUE(accepted.insert(a.second).second) << "a number accepted twice";
        newest = std::max(newest, a.second);
      }
      if (rng() % 500 == 0) taken += checker.TakeNewLoss();
    }
    const uint64_t truth = (newest - start + 1) - accepted.size();
    EXPECT_EQ(checker.lost(), truth) << "round " << round;
    taken += checker.TakeNewLoss();
    EXPECT_GE(taken, truth) << "every loss is reported at least once";
    EXPECT_EQ(checker.TakeNewLoss(), 0u);
    EXPECT_EQ(checker.count(V::kAccepted), accepted.size());
  }
}

TEST(StreamKeyTest, NewLossReportsEachGapOnceAndSkipsLateArrivals) {
  struct Event { uint64_t sequence; int64_t take; };  // take >= 0: TakeNewLoss expected
  const Event events[] = {
      {100, -1}, {0, 0},                  // nothing lost yet
      {103, -1}, {101, -1}, {0, 1},       // 102 missing, 101 came late: one
      {102, -1}, {0, 0},                  // late after the report: not again, not negative
      {110, -1}, {0, 6}, {0, 0},          // 104..109
      {115, -1}, {112, -1}, {0, 3},       // 111, 113, 114
  };
  StreamChecker checker(RawKey());
  for (const Event& e : events) {
    if (e.take >= 0) {
      EXPECT_EQ(checker.TakeNewLoss(), static_cast<uint64_t>(e.take)) << "after " << checker.newest();
    } else {
      EXPECT_EQ(CheckAt(checker, Sealed(1, e.sequence)), V::kAccepted) << e.sequence;
    }
  }
  EXPECT_EQ(checker.lost(), 6u + 3) << "102 came after all";
}

TEST(StreamKeyTest, SessionsNewerWinAtOnceOlderOnlyAfterSilenceAndNoneRepeatsItself) {
  const uint64_t A = MakeSessionNumber(1000, 999), B = MakeSessionNumber(2000, 1),
                 C = MakeSessionNumber(1500, 0), D = MakeSessionNumber(3000, 5);
  const int64_t T = kSessionTakeoverMs;
  const int64_t U = 200 + T + 2;  // B's last datagram below
  struct Step { uint64_t session, sequence; int64_t now; V want; uint64_t current; };
  const Step steps[] = {
      {A, 50, 0, V::kAccepted, A},             // the first valid session is taken
      {A, 51, 100, V::kAccepted, A},
      {B, 0, 200, V::kAccepted, B},            // newer: a restarted server, at once
      {A, 52, 300, V::kOldSession, B},         // older than the one accepted
      {C, 0, 200 + T - 1, V::kOldSession, B},  // older, B silent one ms short of the limit
      {C, 0, 200 + T, V::kAccepted, C},        // B silent long enough: the older one takes over
      {B, 0, 200 + T + 1, V::kBehindWindow, C},  // B again, but a number it sent before
      {B, 1, U, V::kAccepted, B},              // B again, going on: newer wins at once
      {C, 1, U + 1, V::kOldSession, B},
      {A, 51, U + T, V::kBehindWindow, B},     // B silent: A may come back, but not repeat itself
      {A, 52, U + T, V::kAccepted, A},
      {D, 7, U + T + 1, V::kAccepted, D},
      {A, 53, U + T + 2, V::kOldSession, D},
      {A, 52, U + 2 * T + 1, V::kBehindWindow, D},  // left a second time at 52
      {A, 53, U + 2 * T + 1, V::kAccepted, A},
  };
  StreamChecker checker(RawKey());
  int i = 0;
  for (const Step& s : steps) {
    EXPECT_EQ(checker.Check(Sealed(s.session, s.sequence).data(), 62, s.now).verdict, s.want)
        << "step " << i;
    EXPECT_EQ(checker.session(), s.current) << "step " << i;
    ++i;
  }
  // D, newer, comes back at once, but only above the 7 it had reached.
  EXPECT_EQ(CheckAt(checker, Sealed(D, 7), U + 2 * T + 2), V::kBehindWindow);
  EXPECT_EQ(CheckAt(checker, Sealed(D, 8), U + 2 * T + 2), V::kAccepted);
  EXPECT_EQ(checker.session(), D);
}

TEST(StreamKeyTest, ARunTakenAgainGoesOnAboveItsNewestWhileRemembered) {
  // Run 0, then `others` restarts, then silence and run 0 again: its old numbers are refused
  // while the checker remembers it (the last 64 runs left).
  struct Case { uint64_t others; bool remembered; };
  const Case cases[] = {{63, true}, {64, true}, {65, false}};
  for (const Case& c : cases) {
    StreamChecker checker(RawKey());
    int64_t now = 0;
    ASSERT_EQ(CheckAt(checker, Sealed(1000, 9), now), V::kAccepted);
    for (uint64_t run = 1; run <= c.others; ++run)
      ASSERT_EQ(CheckAt(checker, Sealed(1000 + run, 0), now += 1), V::kAccepted) << run;
    now += kSessionTakeoverMs;
    EXPECT_EQ(CheckAt(checker, Sealed(1000, 9), now),
              c.remembered ? V::kBehindWindow : V::kAccepted) << c.others;
    EXPECT_EQ(CheckAt(checker, Sealed(1000, 10), now), V::kAccepted) << c.others;
  }
}

TEST(StreamKeyTest, LossOfAReplacedSessionIsKeptAndReported) {
  StreamChecker checker(RawKey());
  for (uint64_t s : {0, 1, 4, 5}) ASSERT_EQ(CheckAt(checker, Sealed(10, s)), V::kAccepted);
  EXPECT_EQ(checker.TakeNewLoss(), 2u);
  ASSERT_EQ(CheckAt(checker, Sealed(10, 7)), V::kAccepted);   // 6 lost, not yet taken
  ASSERT_EQ(CheckAt(checker, Sealed(11, 0)), V::kAccepted);   // restarted server
  ASSERT_EQ(CheckAt(checker, Sealed(11, 2)), V::kAccepted);   // 1 lost
  EXPECT_EQ(checker.lost(), 2u + 1 + 1);
  EXPECT_EQ(checker.TakeNewLoss(), 2u);
  EXPECT_EQ(checker.TakeNewLoss(), 0u);
}

TEST(StreamKeyTest, OneLogLinePerBurstOfDrops) {
  const std::vector<uint8_t> unkeyed(20, 0);  // an unkeyed pointer: 20 bytes, length 0
  struct Step { int64_t now; bool valid; bool log; };
  const int64_t G = kDropBurstGapMs;
  const Step steps[] = {
      {0, false, true},          // the first drop starts a burst
      {5, false, false},
      {G - 1, true, false},      // accepted datagrams do not end a burst
      {G + 4, false, false},     // G - 1 after the last drop: the same burst
      {2 * G + 4, false, true},  // exactly G of quiet: a new burst
      {2 * G + 5, false, false},
  };
  StreamChecker checker(RawKey());
  uint64_t sequence = 0;
  int lines = 0;
  for (const Step& s : steps) {
    const StreamCheck r =
        s.valid ? checker.Check(Sealed(1, sequence++).data(), 62, s.now)
                : checker.Check(unkeyed.data(), unkeyed.size(), s.now);
    EXPECT_EQ(r.verdict, s.valid ? V::kAccepted : V::kNoTrailer) << s.now;
    EXPECT_EQ(r.log_drop, s.log) << s.now;
    lines += r.log_drop;
  }
  EXPECT_EQ(lines, 2);
  EXPECT_EQ(checker.count(V::kNoTrailer), 5u);
  for (int v = 1; v < kStreamVerdicts; ++v)
    EXPECT_GT(std::strlen(StreamDropText(static_cast<V>(v))), 20u) << v;
}

TEST(StreamKeyTest, SessionNumbersOrderByStartTimeWhateverTheRandomBits) {
  struct Case { uint64_t earlier_ms; uint32_t earlier_random; uint64_t later_ms; uint32_t later_random; };
  const Case cases[] = {{1000, 0xFFFFF, 1001, 0}, {1, 0xFFFFFFFF, 2, 0},
                        {(uint64_t{1} << 44) - 2, 0xFFFFF, (uint64_t{1} << 44) - 1, 0}};
  for (const Case& c : cases)
    EXPECT_LT(MakeSessionNumber(c.earlier_ms, c.earlier_random),
              MakeSessionNumber(c.later_ms, c.later_random)) << c.later_ms;
  EXPECT_NE(MakeSessionNumber(5, 1), MakeSessionNumber(5, 2));
  EXPECT_EQ(MakeSessionNumber(5, 0x1FFFFF), MakeSessionNumber(5, 0xFFFFF)) << "20 bits only";
  const uint64_t before = MakeSessionNumber(1700000000000, 0);  // November 2023
  EXPECT_GT(NewSessionNumber(), before);
}

}  // namespace

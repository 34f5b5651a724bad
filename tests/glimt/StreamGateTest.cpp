// The receive thread's stream key gate: what it lets through and how long, what it says once
// per burst, and which loss decides a refresh request with and without a key.
#include "glimt/StreamGate.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "Common/UpdateHeader.h"

namespace {

StreamKey RawKey(uint8_t first) {
  uint8_t raw[kStreamKeyBytes];
  for (std::size_t i = 0; i < sizeof raw; ++i) raw[i] = static_cast<uint8_t>(first + i);
  StreamKey key;
  key.SetRaw(raw);
  return key;
}

// A block of `payload` bytes, sealed with the raw key `key_first` when key_first != 0.
std::vector<uint8_t> Datagram(std::size_t payload, uint8_t key_first = 0, uint64_t session = 7,
                              uint64_t sequence = 0) {
  std::vector<uint8_t> d(kUpdateHeaderBytes + payload);
  EncodeUpdateHeader(UpdateHeader{UPDATE_BLOCK, static_cast<uint16_t>(payload), 0, 0, 8, 8},
                     d.data());
  if (key_first == 0) return d;
  d.resize(d.size() + kStreamTrailerBytes);
  AppendStreamTrailer(RawKey(key_first), d.data(), kUpdateHeaderBytes + payload, session,
                      sequence);
  return d;
}

std::vector<uint8_t> Shortened(std::vector<uint8_t> d) {
  d.pop_back();
  return d;
}

TEST(StreamGate, WithoutAKeyEveryDatagramPassesWholeAndTheSocketCountsTheLoss) {
  StreamGate gate{StreamKey()};
  EXPECT_FALSE(gate.keyed());
  // Trailers and malformed sizes alike: what to make of them is for the datagram checks.
  const std::vector<std::vector<uint8_t>> inputs = {
      {}, std::vector<uint8_t>(19, 2), Datagram(0), Datagram(100), Datagram(100, 1),
      std::vector<uint8_t>(65507, 0xFF)};
  for (const auto& d : inputs) {
    const StreamGate::Admission a = gate.Admit(d.data(), d.size(), 0);
    EXPECT_TRUE(a.use) << d.size();
    EXPECT_EQ(a.length, d.size());
    EXPECT_EQ(a.drop_line, nullptr);
  }
  const uint64_t drops[] = {0, 1, 4096, UINT32_MAX};
  for (uint64_t n : drops) EXPECT_EQ(gate.NewLoss(n), n);
  EXPECT_EQ(gate.lost(), 0u);
  EXPECT_EQ(gate.refused(), 0u);
}

TEST(StreamGate, WithAKeyOnlyItsDatagramsPassLessTheirTrailerAndDropsAreToldOncePerBurst) {
  StreamGate gate(RawKey(1));
  ASSERT_TRUE(gate.keyed());
  const int64_t G = kDropBurstGapMs;
  struct Step {
    const char* what;
    std::vector<uint8_t> d;
    int64_t now;
    std::size_t length;      // 0: dropped
    StreamVerdict line;      // kAccepted: no line
  };
  const Step steps[] = {
      {"no trailer", Datagram(10), 0, 0, StreamVerdict::kNoTrailer},
      {"another key, same burst", Datagram(10, 2, 7, 0), 1, 0, StreamVerdict::kAccepted},
      {"signed", Datagram(10, 1, 7, 0), 2, 30, StreamVerdict::kAccepted},
      {"signed, nothing after the header", Datagram(0, 1, 7, 1), 3, 20, StreamVerdict::kAccepted},
      {"replayed, one below the gap", Datagram(10, 1, 7, 0), G, 0, StreamVerdict::kAccepted},
      {"another key, exactly the gap after", Datagram(10, 2, 7, 5), 2 * G, 0,
       StreamVerdict::kBadTag},
      {"trailer one byte short", Shortened(Datagram(10, 1, 7, 2)), 1 + 2 * G, 0,
       StreamVerdict::kAccepted},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    const StreamGate::Admission a = gate.Admit(s.d.data(), s.d.size(), s.now);
    EXPECT_EQ(a.use, s.length != 0);
    EXPECT_EQ(a.length, s.length);
    if (s.line == StreamVerdict::kAccepted) {
      EXPECT_EQ(a.drop_line, nullptr);
    } else {
      ASSERT_NE(a.drop_line, nullptr);
      EXPECT_STREQ(a.drop_line, StreamDropText(s.line));
    }
  }
  EXPECT_EQ(gate.refused(), 5u);
}

TEST(StreamGate, WithAKeyTheGapsDecideAndTheSocketsDropsAreNotAddedToThem) {
  StreamGate gate(RawKey(1));
  struct Step {
    std::vector<uint64_t> arrive;  // sequence numbers, in this order
    uint64_t socket_drops;         // what the kernel says it dropped meanwhile
    uint64_t new_loss;
  };
  const Step steps[] = {
      {{0, 1, 2}, 0, 0},
      {{3, 7}, 3, 3},    // 4, 5, 6 dropped by the socket: counted once, as gaps
      {{8}, 2, 0},       // the socket dropped forged datagrams: nothing of the stream is lost
      {{12, 10}, 0, 2},  // 9 and 11 missing when asked (10 came late, but before the call)
      {{11}, 0, 0},      // a late one after the call: not lost after all, not told again
      {{}, 5, 0},
  };
  for (const Step& s : steps) {
    for (uint64_t q : s.arrive) {
      const std::vector<uint8_t> d = Datagram(4, 1, 9, q);
      EXPECT_TRUE(gate.Admit(d.data(), d.size(), 0).use) << q;
    }
    EXPECT_EQ(gate.NewLoss(s.socket_drops), s.new_loss) << s.arrive.size();
  }
  EXPECT_EQ(gate.lost(), 4u);  // 4, 5, 6 and 9
}

}  // namespace

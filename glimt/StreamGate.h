#pragma once
// The viewer's side of the stream key, on the receive thread: every datagram is judged before
// anything of it is believed, and the sequence numbers say how many of the stream's datagrams
// never arrived. Portable; one thread at a time (the receive thread, or a test).
#include <cstddef>
#include <cstdint>
#include <memory>

#include "Common/StreamKey.h"

class StreamGate {
 public:
  // An invalid key (no StreamKey): every datagram passes whole and trailers are ignored.
  explicit StreamGate(StreamKey key);
  bool keyed() const { return checker_ != nullptr; }

  struct Admission {
    bool use = false;
    std::size_t length = 0;             // use: the datagram's bytes without its trailer
    const char* drop_line = nullptr;    // a drop that begins a burst: log this text once
  };
  // data[0..n) as received; now_ms a monotonic clock (sessions and bursts go by it).
  Admission Admit(const uint8_t* data, std::size_t n, int64_t now_ms);

  // Datagrams lost since the last call, for the refresh decision. socket_drops: what the
  // kernel dropped meanwhile. With a key the gaps in the sequence numbers already hold those,
  // and drops of forged datagrams must not ask the server for anything: only the gaps count.
  uint64_t NewLoss(uint64_t socket_drops);

  // With a key: the stream's datagrams that never arrived, and those refused (no trailer,
  // wrong tag, replayed, of an older run). 0 without one.
  uint64_t lost() const;
  uint64_t refused() const;
  const StreamChecker* checker() const { return checker_.get(); }  // nullptr without a key

 private:
  std::unique_ptr<StreamChecker> checker_;
};

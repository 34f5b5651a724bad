#pragma once
// Builders of update datagrams for the viewer's tests.
#include <zlib.h>

#include <cstdint>
#include <vector>

#include "Common/UpdateHeader.h"

namespace glimttest {

inline std::vector<uint8_t> Header(uint16_t kind, uint16_t length, int32_t l, int32_t t,
                                   int32_t r, int32_t b) {
  std::vector<uint8_t> d(kUpdateHeaderBytes);
  EncodeUpdateHeader(UpdateHeader{kind, length, l, t, r, b}, d.data());
  return d;
}

inline std::vector<uint8_t> Compress(const std::vector<uint8_t>& raw, int level = 6) {
  uLongf n = compressBound(raw.size());
  std::vector<uint8_t> z(n);
  compress2(z.data(), &n, raw.data(), raw.size(), level);
  z.resize(n);
  return z;
}

// A block datagram whose payload is the given compressed bytes.
inline std::vector<uint8_t> Block(int32_t l, int32_t t, int32_t r, int32_t b,
                                  const std::vector<uint8_t>& z) {
  std::vector<uint8_t> d = Header(UPDATE_BLOCK, static_cast<uint16_t>(z.size()), l, t, r, b);
  d.insert(d.end(), z.begin(), z.end());
  return d;
}

// Heap copy in a receive-sized buffer, as the receive thread hands it to the queue.
inline uint8_t* ReceiveBuffer(const std::vector<uint8_t>& d) {
  uint8_t* p = new uint8_t[kReceiveBufferBytes]();
  std::copy(d.begin(), d.end(), p);
  return p;
}

}  // namespace glimttest

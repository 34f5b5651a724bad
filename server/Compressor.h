#pragma once
// Compression of one block's pixels into one complete zlib stream (RFC 1950), the payload of
// an UPDATE_BLOCK. Any inflate reads it. Portable: no X11, Qt or I/O.
#include <cstddef>
#include <cstdint>

// One per thread. level as CompressionLevel: -1..9 (caller maps anything else to 1).
class Compressor {
 public:
  explicit Compressor(int level);
  ~Compressor();
  // One complete zlib stream of in[0..n) into out; its size, or 0 when it would not fit cap (or failed).
  std::size_t Compress(const uint8_t* in, std::size_t n, uint8_t* out, std::size_t cap);

  int level() const { return level_; }

  Compressor(const Compressor&) = delete;
  Compressor& operator=(const Compressor&) = delete;

 private:
  int level_;
  struct State;
  State* state_;
};

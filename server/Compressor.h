#pragma once
// One-shot zlib-format compression of a block's pixels, over libdeflate. The output is a
// standard zlib stream (RFC 1950) that any inflate reads, so the datagram format is unchanged.
// One Compressor per thread: it keeps libdeflate's state and a small scratch buffer.
#include <cstddef>
#include <cstdint>

struct libdeflate_compressor;

// CompressionLevel (-1..9) to libdeflate's scale (0..12): 0 stored, 1 fastest, 9 smallest,
// -1 the library's default. Anything else is the caller's to map first (to 1).
int LibdeflateLevel(int level);

class Compressor {
 public:
  // One per thread. level as CompressionLevel: -1..9 (caller maps anything else to 1).
  explicit Compressor(int level);
  ~Compressor();
  Compressor(const Compressor&) = delete;
  Compressor& operator=(const Compressor&) = delete;

  // One complete zlib stream of in[0..n) into out; its size, or 0 when it would not fit cap
  // (or failed).
  std::size_t Compress(const uint8_t* in, std::size_t n, uint8_t* out, std::size_t cap);

  int level() const { return level_; }
  // False when libdeflate gave no compressor (no memory, or a level it refuses).
  bool ok() const { return c_ != nullptr; }

 private:
  bool GrowScratch(std::size_t bytes);

  int level_;
  libdeflate_compressor* c_ = nullptr;
  uint8_t* scratch_ = nullptr;  // output that may end within libdeflate's padding of cap
  std::size_t scratch_size_ = 0;
};

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

  // libdeflate gives up when its output comes within its end padding (8 bytes, plus a partial
  // bit-buffer word: 9 measured) of the room it was given: this much room past cap lets a
  // stream of exactly cap bytes be made in place.
  static constexpr std::size_t kSlack = 16;

  // One complete zlib stream of in[0..n) into out; its size, or 0 when it would not fit cap
  // (or failed). Nothing past cap is written: a tight cap compresses into a scratch buffer
  // and copies.
  std::size_t Compress(const uint8_t* in, std::size_t n, uint8_t* out, std::size_t cap);
  // The same where out has room bytes (at least cap) that may be written: with kSlack of them
  // past cap the stream is made in place, with no copy.
  std::size_t Compress(const uint8_t* in, std::size_t n, uint8_t* out, std::size_t cap,
                       std::size_t room);

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

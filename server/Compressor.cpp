#include "server/Compressor.h"

#include <libdeflate.h>

#include <cstdlib>
#include <cstring>

#include "Common/UpdateHeader.h"

int LibdeflateLevel(int level) {
  // 1..8 keep their number: libdeflate's levels follow zlib's scale, and on text-like and
  // photo-like screens each is faster than zlib's of the same number at about its size.
  // 9 asks for the smallest stream: libdeflate's 11, the lowest of its levels that is smaller
  // than zlib's 9 on both screens (its 12 saves 3 % more on text for half as much time again).
  // -1 is the library's default, 6, as zlib's is.
  if (level == -1) return 6;
  if (level == 9) return 11;
  return level;
}

Compressor::Compressor(int level) : level_(level) {
  c_ = libdeflate_alloc_compressor(LibdeflateLevel(level));
  // Enough for any datagram payload, so that the sampler's cuts never allocate.
  GrowScratch(kMaxDatagramBytes + kSlack);
}

Compressor::~Compressor() {
  if (c_) libdeflate_free_compressor(c_);
  free(scratch_);
}

bool Compressor::GrowScratch(std::size_t bytes) {
  if (bytes <= scratch_size_) return true;
  void* p = realloc(scratch_, bytes);
  if (!p) return false;  // the old buffer stays valid and owned
  scratch_ = static_cast<uint8_t*>(p);
  scratch_size_ = bytes;
  return true;
}

std::size_t Compressor::Compress(const uint8_t* in, std::size_t n, uint8_t* out,
                                 std::size_t cap) {
  if (!c_ || !out) return 0;
  // Room for the worst case: straight into out.
  if (cap >= libdeflate_zlib_compress_bound(c_, n)) return libdeflate_zlib_compress(c_, in, n, out, cap);
  // Tight room (the usual case when cutting to a datagram): a stream up to exactly cap bytes
  // must be accepted, so compress with the padding libdeflate wants and copy what fits.
  if (!GrowScratch(cap + kSlack)) return 0;
  const std::size_t size = libdeflate_zlib_compress(c_, in, n, scratch_, cap + kSlack);
  if (size == 0 || size > cap) return 0;
  memcpy(out, scratch_, size);
  return size;
}

std::size_t Compressor::Compress(const uint8_t* in, std::size_t n, uint8_t* out, std::size_t cap,
                                 std::size_t room) {
  if (!c_ || !out || room < cap + kSlack) return Compress(in, n, out, cap);
  const std::size_t size = libdeflate_zlib_compress(c_, in, n, out, cap + kSlack);
  return size <= cap ? size : 0;
}

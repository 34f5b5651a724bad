#include "server/Compressor.h"

#include <zlib.h>

#include <climits>

// The deflate state is made once and reset for every stream: the same bytes as compress2
// gives, without allocating its 256 KB of state per block.
struct Compressor::State {
  z_stream z{};
  bool ready = false;
};

Compressor::Compressor(int level) : level_(level), state_(new State) {
  state_->ready = deflateInit(&state_->z, level) == Z_OK;
}

Compressor::~Compressor() {
  if (state_->ready) deflateEnd(&state_->z);
  delete state_;
}

std::size_t Compressor::Compress(const uint8_t* in, std::size_t n, uint8_t* out,
                                 std::size_t cap) {
  z_stream& z = state_->z;
  if (!state_->ready || n > UINT_MAX || cap > UINT_MAX || deflateReset(&z) != Z_OK) return 0;
  z.next_in = const_cast<Bytef*>(in);
  z.avail_in = static_cast<uInt>(n);
  z.next_out = out;
  z.avail_out = static_cast<uInt>(cap);
  int rc;
  do {
    rc = deflate(&z, Z_FINISH);
  } while (rc == Z_OK && z.avail_out > 0);
  return rc == Z_STREAM_END ? static_cast<std::size_t>(z.total_out) : 0;
}

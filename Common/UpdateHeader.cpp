#include "Common/UpdateHeader.h"

namespace {
void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, int32_t value) {
  const uint32_t v = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
int32_t Get32(const uint8_t* p) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(p[i]) << (8 * i);
  return static_cast<int32_t>(v);
}
}  // namespace

void EncodeUpdateHeader(const UpdateHeader& h, uint8_t* out) {
  Put16(out, h.kind);
  Put16(out + 2, h.length);
  Put32(out + 4, h.left);
  Put32(out + 8, h.top);
  Put32(out + 12, h.right);
  Put32(out + 16, h.bottom);
}

bool DecodeUpdateHeader(const uint8_t* data, std::size_t n, UpdateHeader& h) {
  if (n < kUpdateHeaderBytes) return false;
  h.kind = Get16(data);
  h.length = Get16(data + 2);
  h.left = Get32(data + 4);
  h.top = Get32(data + 8);
  h.right = Get32(data + 12);
  h.bottom = Get32(data + 16);
  return true;
}

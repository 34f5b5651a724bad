#pragma once
// The update datagram: a 20-byte little-endian header and, for blocks, a zlib stream of the
// block's pixels (H rows of S bytes). Written by the server, read by the viewer; encoded field
// by field so that the layout never depends on the compiler.
#include <cstddef>
#include <cstdint>

#include "platform/ScanLine.h"  // ScanLineBytes: the rows of a block are H scan lines of S bytes

enum UpdateKind : uint16_t { UPDATE_AREA = 0, UPDATE_POINTER = 1, UPDATE_BLOCK = 2 };

constexpr std::size_t kUpdateHeaderBytes = 20;
constexpr std::size_t kMaxDatagramBytes = 65507;     // IPv4 UDP payload limit
constexpr std::size_t kMaxBlockPayload = kMaxDatagramBytes - kUpdateHeaderBytes;  // 65487
constexpr std::size_t kReceiveBufferBytes = 65536;   // the viewer's receive buffer
constexpr std::size_t kDecodeBufferBytes = 262144;   // the viewer's decompression buffer

struct UpdateHeader {
  uint16_t kind = 0;
  uint16_t length = 0;
  int32_t left = 0, top = 0, right = 0, bottom = 0;
};

// Writes the header into out[0..19].
void EncodeUpdateHeader(const UpdateHeader& header, uint8_t* out);
// Reads a header from a datagram of n bytes; false when n < 20.
bool DecodeUpdateHeader(const uint8_t* data, std::size_t n, UpdateHeader& header);

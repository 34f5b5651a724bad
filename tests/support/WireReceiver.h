#pragma once
// A receiver written from the update datagram format alone, sharing no code with the
// programs: it joins a group with plain sockets, reads the 20-byte little-endian header
// itself, inflates blocks with zlib and rebuilds a 32-bit picture (B, G, R, 0) of the
// broadcast area. For use inside a private network namespace only.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class WireReceiver {
 public:
  WireReceiver(const std::string& group, int port, int width, int height);
  ~WireReceiver();
  bool ok() const { return sock_ >= 0; }

  // Datagrams of each kind so far (0 area, 1 pointer, 2 block), and malformed ones.
  int Count(int kind) const { return counts_[kind].load(); }
  int bad() const { return bad_.load(); }
  std::chrono::steady_clock::time_point last_datagram();
  // The picture; pixels no block has reached yet hold 0xAB bytes.
  std::vector<uint8_t> Picture();
  bool Pointer(int32_t* x, int32_t* y);

 private:
  void Run();
  void Block(const uint8_t* data, uint16_t length, int32_t left, int32_t top, int32_t right,
             int32_t bottom);

  int sock_ = -1;
  const int width_, height_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> counts_[3] = {0, 0, 0};
  std::atomic<int> bad_{0};
  std::mutex mutex_;
  std::vector<uint8_t> picture_;
  std::chrono::steady_clock::time_point last_{};
  int32_t px_ = 0, py_ = 0;
  bool have_pointer_ = false;
};

}  // namespace testsupport

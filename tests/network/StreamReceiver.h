#pragma once
// A receiver of the update stream written from the datagram format alone: it knows nothing
// of how the server cuts, paces or heals. It joins the group with a large receive buffer,
// decodes every block into a picture of 32-bit pixels (blue, green, red, 0), and counts
// what arrives. For use inside a private network namespace only.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace nettest {

using Clock = std::chrono::steady_clock;

class StreamReceiver {
 public:
  StreamReceiver(const char* group, int port, int width, int height);
  ~StreamReceiver();
  bool ok() const { return sock_ >= 0; }
  int receive_buffer() const { return rcvbuf_; }  // bytes the kernel granted

  struct Counts {
    long areas = 0, pointers = 0, blocks = 0, bad = 0, kernel_drops = 0;
    double block_pixels = 0;  // pixels of all blocks, overlaps counted again
  };
  Counts counts();
  std::vector<uint8_t> Picture();
  std::vector<Clock::time_point> PointerTimes();
  std::vector<Clock::time_point> AreaTimes();
  // Last time a block arrived.
  Clock::time_point LastBlock();

 private:
  void Run();
  void Apply(const uint8_t* d, std::size_t n);

  int sock_ = -1;
  int rcvbuf_ = 0;
  int width_, height_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<uint8_t> picture_;
  std::vector<uint8_t> pixels_;
  Counts counts_;
  std::vector<Clock::time_point> pointer_times_, area_times_;
  Clock::time_point last_block_{};
};

}  // namespace nettest

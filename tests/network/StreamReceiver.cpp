#include "tests/network/StreamReceiver.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>

#include "Common/MulticastSocket.h"
#include "Common/UpdateHeader.h"

namespace nettest {

namespace {
// Enough for seconds of a paced stream: the test, not the kernel, must be the bottleneck.
constexpr int kReceiveBuffer = 64 << 20;
}  // namespace

StreamReceiver::StreamReceiver(const char* group, int port, int width, int height)
    : width_(width), height_(height),
      picture_(static_cast<std::size_t>(width) * height * 4, 0xAB),
      pixels_(kDecodeBufferBytes) {
  sock_ = OpenMulticastReceiver(group, port);
  if (sock_ < 0) return;
  // As root the limit of net.core.rmem_max does not apply.
  if (setsockopt(sock_, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer) != 0)
    setsockopt(sock_, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
  const int on = 1;
  setsockopt(sock_, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
  socklen_t len = sizeof rcvbuf_;
  getsockopt(sock_, SOL_SOCKET, SO_RCVBUF, &rcvbuf_, &len);
  thread_ = std::thread([this] { Run(); });
}

StreamReceiver::~StreamReceiver() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (sock_ >= 0) close(sock_);
}

StreamReceiver::Counts StreamReceiver::counts() {
  std::lock_guard<std::mutex> hold(mutex_);
  return counts_;
}

std::vector<uint8_t> StreamReceiver::Picture() {
  std::lock_guard<std::mutex> hold(mutex_);
  return picture_;
}

std::vector<Clock::time_point> StreamReceiver::PointerTimes() {
  std::lock_guard<std::mutex> hold(mutex_);
  return pointer_times_;
}

std::vector<Clock::time_point> StreamReceiver::AreaTimes() {
  std::lock_guard<std::mutex> hold(mutex_);
  return area_times_;
}

Clock::time_point StreamReceiver::LastBlock() {
  std::lock_guard<std::mutex> hold(mutex_);
  return last_block_;
}

void StreamReceiver::Run() {
  std::vector<uint8_t> buf(kReceiveBufferBytes);
  char control[CMSG_SPACE(sizeof(uint32_t))];
  while (!stop_) {
    pollfd p{sock_, POLLIN, 0};
    if (poll(&p, 1, 50) != 1) continue;
    iovec part{buf.data(), buf.size()};
    msghdr m{};
    m.msg_iov = &part;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(sock_, &m, 0);
    if (n <= 0) continue;
    for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
        uint32_t dropped = 0;
        std::memcpy(&dropped, CMSG_DATA(c), sizeof dropped);
        std::lock_guard<std::mutex> hold(mutex_);
        counts_.kernel_drops = dropped;
      }
    }
    Apply(buf.data(), static_cast<std::size_t>(n));
  }
}

void StreamReceiver::Apply(const uint8_t* d, std::size_t n) {
  UpdateHeader h;
  std::lock_guard<std::mutex> hold(mutex_);
  if (!DecodeUpdateHeader(d, n, h)) {
    ++counts_.bad;
    return;
  }
  if (h.kind == UPDATE_AREA) {
    ++counts_.areas;
    area_times_.push_back(Clock::now());
    return;
  }
  if (h.kind == UPDATE_POINTER) {
    ++counts_.pointers;
    pointer_times_.push_back(Clock::now());
    return;
  }
  const int64_t w = int64_t{h.right} - h.left, rows = int64_t{h.bottom} - h.top;
  const int64_t s = ScanLineBytes(w, 32);
  uLongf out = kDecodeBufferBytes;
  if (h.kind != UPDATE_BLOCK || n != kUpdateHeaderBytes + h.length || w <= 0 || rows <= 0 ||
      uncompress(pixels_.data(), &out, d + kUpdateHeaderBytes, h.length) != Z_OK ||
      static_cast<int64_t>(out) != s * rows) {
    ++counts_.bad;
    return;
  }
  ++counts_.blocks;
  counts_.block_pixels += static_cast<double>(w * rows);
  last_block_ = Clock::now();
  for (int64_t y = 0; y < rows; ++y) {
    const int64_t py = h.top + y;
    if (py < 0 || py >= height_) continue;
    for (int64_t x = 0; x < w; ++x) {
      const int64_t px = h.left + x;
      if (px < 0 || px >= width_) continue;
      std::memcpy(&picture_[static_cast<std::size_t>((py * width_ + px) * 4)],
                  &pixels_[static_cast<std::size_t>(y * s + x * 4)], 4);
    }
  }
}

}  // namespace nettest

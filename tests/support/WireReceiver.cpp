#include "tests/support/WireReceiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>

namespace testsupport {

namespace {
uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
int32_t I32(const uint8_t* p) {
  return static_cast<int32_t>(uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) |
                              (uint32_t{p[3]} << 24));
}
}  // namespace

WireReceiver::WireReceiver(const std::string& group, int port, int width, int height)
    : width_(width), height_(height),
      picture_(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4, 0xAB) {
  sock_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock_ < 0) return;
  int on = 1;
  setsockopt(sock_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  int big = 8 << 20;  // a full refresh arrives as one burst
  setsockopt(sock_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  ip_mreq m{};
  inet_aton(group.c_str(), &m.imr_multiaddr);
  m.imr_interface.s_addr = htonl(INADDR_ANY);
  if (bind(sock_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      setsockopt(sock_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) != 0) {
    close(sock_);
    sock_ = -1;
    return;
  }
  thread_ = std::thread([this] { Run(); });
}

WireReceiver::~WireReceiver() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (sock_ >= 0) close(sock_);
}

void WireReceiver::Run() {
  std::vector<uint8_t> d(65536);
  while (!stop_) {
    pollfd p{sock_, POLLIN, 0};
    if (poll(&p, 1, 50) != 1) continue;
    const ssize_t n = recv(sock_, d.data(), d.size(), 0);
    if (n < 20) {
      ++bad_;
      continue;
    }
    const uint16_t kind = U16(&d[0]), length = U16(&d[2]);
    const int32_t left = I32(&d[4]), top = I32(&d[8]), right = I32(&d[12]), bottom = I32(&d[16]);
    if (kind > 2 || static_cast<std::size_t>(n) != 20u + length || (kind != 2 && length != 0)) {
      ++bad_;
      continue;
    }
    ++counts_[kind];
    std::lock_guard<std::mutex> hold(mutex_);
    last_ = std::chrono::steady_clock::now();
    if (kind == 1) {
      px_ = left;
      py_ = top;
      have_pointer_ = true;
    } else if (kind == 2) {
      Block(d.data() + 20, length, left, top, right, bottom);
    }
  }
}

void WireReceiver::Block(const uint8_t* data, uint16_t length, int32_t left, int32_t top,
                         int32_t right, int32_t bottom) {
  const int64_t w = int64_t{right} - left, h = int64_t{bottom} - top;
  const int64_t stride = ((w * 32 + 15) / 16) * 2;
  if (w <= 0 || h <= 0 || stride * h > 262144) {
    ++bad_;
    return;
  }
  std::vector<uint8_t> pixels(static_cast<std::size_t>(stride * h));
  uLongf size = pixels.size();
  if (uncompress(pixels.data(), &size, data, length) != Z_OK || size != pixels.size()) {
    ++bad_;
    return;
  }
  for (int64_t y = 0; y < h; ++y)
    for (int64_t x = 0; x < w; ++x) {
      const int64_t sx = left + x, sy = top + y;
      if (sx < 0 || sy < 0 || sx >= width_ || sy >= height_) continue;
      std::memcpy(&picture_[static_cast<std::size_t>((sy * width_ + sx) * 4)],
                  &pixels[static_cast<std::size_t>(y * stride + x * 4)], 4);
    }
}

std::chrono::steady_clock::time_point WireReceiver::last_datagram() {
  std::lock_guard<std::mutex> hold(mutex_);
  return last_;
}

std::vector<uint8_t> WireReceiver::Picture() {
  std::lock_guard<std::mutex> hold(mutex_);
  return picture_;
}

bool WireReceiver::Pointer(int32_t* x, int32_t* y) {
  std::lock_guard<std::mutex> hold(mutex_);
  *x = px_;
  *y = py_;
  return have_pointer_;
}

}  // namespace testsupport

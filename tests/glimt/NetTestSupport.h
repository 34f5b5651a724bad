#pragma once
// Test-side peers of the viewer, for use inside a private network namespace only: a fake
// rendezvous service on TCP 10510 and a multicast sender of update datagrams.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/glimt/BlockTestSupport.h"

namespace glimttest {

class FakeRendezvous {
 public:
  // answer: the reply to "init"; kSilent keeps the connection open without a word.
  static constexpr const char* kSilent = "<silent>";
  explicit FakeRendezvous(std::string answer = "227.0.1.1:10510\r\n") : answer_(std::move(answer)) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(10510);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ok_ = bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
          listen(listener_, 5) == 0;
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakeRendezvous() {
    stop_ = true;
    thread_.join();
    close(listener_);
  }
  bool ok() const { return ok_; }
  // Called on the service's thread for every request that is not "init".
  void OnGo(std::function<void()> f) {
    std::lock_guard<std::mutex> hold(mutex_);
    on_go_ = std::move(f);
  }
  int gos() const { return gos_; }
  std::vector<std::string> requests() {
    std::lock_guard<std::mutex> hold(mutex_);
    return requests_;
  }

 private:
  bool Readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
  }
  void Serve() {
    while (!stop_) {
      if (!Readable(listener_, 50)) continue;
      const int c = accept(listener_, nullptr, nullptr);
      if (c < 0) continue;
      char buf[512] = {};
      ssize_t n = Readable(c, 2000) ? recv(c, buf, sizeof buf - 1, 0) : 0;
      const std::string req(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
      std::function<void()> go;
      {
        std::lock_guard<std::mutex> hold(mutex_);
        requests_.push_back(req);
        go = on_go_;
      }
      if (req.compare(0, 4, "init") == 0) {
        if (answer_ == kSilent) {
          for (int i = 0; i < 100 && !stop_ && !Readable(c, 100);) ++i;  // up to 10 s
        } else {
          send(c, answer_.data(), answer_.size(), MSG_NOSIGNAL);
        }
      } else {
        ++gos_;
        if (go) go();
      }
      shutdown(c, SHUT_RDWR);
      close(c);
    }
  }
  std::string answer_;
  int listener_ = -1;
  bool ok_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<int> gos_{0};
  std::mutex mutex_;
  std::function<void()> on_go_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

class Sender {
 public:
  Sender(const char* group, int port) : sock_(socket(AF_INET, SOCK_DGRAM, 0)) {
    to_.sin_family = AF_INET;
    to_.sin_port = htons(static_cast<uint16_t>(port));
    inet_aton(group, &to_.sin_addr);
    unsigned char ttl = 1;
    setsockopt(sock_, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
  }
  ~Sender() { close(sock_); }
  void Send(const std::vector<uint8_t>& d) {
    sendto(sock_, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to_), sizeof to_);
  }
  void Area(int l, int t, int r, int b) { Send(Header(UPDATE_AREA, 0, l, t, r, b)); }
  void Pointer(int x, int y) { Send(Header(UPDATE_POINTER, 0, x, y, 0, 0)); }

 private:
  int sock_;
  sockaddr_in to_{};
};

// The test picture: 8x8 tiles, each of its own colour (a shifted picture shows at every
// tile edge), compressible enough that a server-sized strip fits one datagram.
inline uint32_t PatternPixel(int x, int y, int salt = 0) {
  const int tx = x >> 3, ty = y >> 3;
  return static_cast<uint32_t>(((tx * 29 + salt * 53) & 0xff) << 16 | ((ty * 41) & 0xff) << 8 |
                               (((tx ^ ty) * 17) & 0xff));
}

inline std::vector<uint8_t> PatternBlock(int l, int t, int r, int b, int salt = 0) {
  std::vector<uint8_t> raw;
  for (int y = t; y < b; ++y)
    for (int x = l; x < r; ++x) {
      const uint32_t p = PatternPixel(x, y, salt);
      raw.push_back(static_cast<uint8_t>(p));
      raw.push_back(static_cast<uint8_t>(p >> 8));
      raw.push_back(static_cast<uint8_t>(p >> 16));
      raw.push_back(0);
    }
  return Block(l, t, r, b, Compress(raw));
}

// A full refresh of (0, 0, w, h) as a server sends it: the area, then strips.
inline void SendRefresh(Sender& s, int w, int h, int salt = 0) {
  s.Area(0, 0, w, h);
  const int rows = 50000 / w + 8;
  for (int t = 0; t < h; t += rows) s.Send(PatternBlock(0, t, w, std::min(h, t + rows), salt));
}

}  // namespace glimttest

#pragma once
// Helpers shared by the tests: a private network namespace, a private X server, child
// processes with time limits, temporary folders.
#include <sys/types.h>
#include <chrono>
#include <string>
#include <vector>

namespace testsupport {

// True when this process runs in a network namespace whose only interface is lo (so nothing
// can leave the machine). Call at the start of every test that sends multicast or opens a
// TCP port; it also brings lo up with multicast and the 224.0.0.0/4 route.
bool InPrivateNetwork();
// gtest wrapper: skips nothing, fails loudly when not in a private namespace.
#define REQUIRE_PRIVATE_NETWORK() \
  ASSERT_TRUE(::testsupport::InPrivateNetwork()) << "run this test through tests/netns-run"

// A private Xvfb server, stopped on destruction.
class Xvfb {
 public:
  explicit Xvfb(int width = 1024, int height = 768, int depth = 24,
                const std::vector<std::string>& extra_args = {});
  ~Xvfb();
  bool ok() const { return pid_ > 0; }
  const std::string& display() const { return display_; }  // ":N"
  Xvfb(const Xvfb&) = delete;
  Xvfb& operator=(const Xvfb&) = delete;
 private:
  pid_t pid_ = -1;
  std::string display_;
};

// A child process (argv[0] found on PATH or given as a path) with extra environment entries
// "NAME=value". stdout and stderr go to files in the log folder when given.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
        const std::string& output_file = "");
  ~Child();  // kills a child still running
  pid_t pid() const { return pid_; }
  bool running();
  // Waits for the exit; false on time-out. status is the exit code, or 128 + signal.
  bool Wait(std::chrono::milliseconds limit, int* status);
  void Kill(int sig = 15);
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;
};

// Runs a command line through /bin/sh, returns its exit code, and its stdout in *out.
int Run(const std::string& command, std::string* out = nullptr);

// A fresh temporary folder, removed (recursively) on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
 private:
  std::string path_;
};

// Polls pred every 10 ms until it is true or the limit passes.
template <class Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds limit) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    struct timespec ts{0, 10 * 1000 * 1000};
    nanosleep(&ts, nullptr);
  }
  return pred();
}

// A TCP connection to host:port (dotted quads) from the local address source (nullptr: the
// kernel's choice; on lo every 127.x.y.z is local, so one process can play many hosts).
// Waits at most timeout_ms for the handshake (nonblocking with 0: not at all, the handshake
// may still be under way); blocking afterwards unless nonblocking. -1 on failure. For tests
// inside a private network namespace only.
int ConnectFrom(const char* source, const char* host, int port, int timeout_ms = 2000,
                bool nonblocking = false);

// Reads from s until the peer closes (or resets) the connection or limit_ms have passed in
// all. Returns what arrived; *closed tells whether the peer closed it in time.
std::string ReadUntilClosed(int s, int limit_ms, bool* closed = nullptr);

// Datagrams the kernel dropped for the UDP socket of this network namespace bound to port
// (the last column of /proc/net/udp); -1 when there is none.
long UdpSocketDrops(int port);
// Number of open descriptors of a process (from /proc/PID/fd); -1 if unreadable.
int CountFds(pid_t pid);
// Folder of the built programs (ORVANE_BIN_DIR, set by CMake).
std::string BinDir();
// Folder of the sources (ORVANE_SOURCE_DIR).
std::string SourceDir();

}  // namespace testsupport

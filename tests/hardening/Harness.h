#pragma once
// Helpers of the hardening tests: the real varno and glimt started as a user starts them,
// each on its own Xvfb, a well-behaved rendezvous client, a multicast listener that notes
// when each datagram kind arrives, screenshots, drawing, and a process's resources.
// For use inside a private network namespace only.
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/Display.h"
#include "tests/support/TestSupport.h"

namespace hardening {

using Clock = std::chrono::steady_clock;

// The programs under test were built with a sanitizer: their memory use is not their own.
constexpr bool kSanitizedBuild = ORVANE_SANITIZED != 0;

// trayer as the system tray of a display (varno will not start without one).
using testsupport::Trayer;

// varno copied with libhooks.so into a folder of its own (its log lands there), with its own
// settings store. extra_args follow the program name (a target, for instance).
class Server {
 public:
  Server(const testsupport::Xvfb& x, const testsupport::TempDir& dir,
         const std::vector<std::string>& prefix = {}, const std::vector<std::string>& env = {});
  pid_t pid() const { return child_->pid(); }
  bool running() { return child_->running(); }
  testsupport::Child& child() { return *child_; }
  std::string Log() const;       // the log file and what the program wrote to stdout/stderr
  std::string LogFile() const;   // the log file alone
 private:
  std::string dir_;
  std::unique_ptr<testsupport::Child> child_;
};

// Stores a REG_DWORD in the settings store that Server uses for dir (before it starts).
bool ServerSetting(const testsupport::TempDir& dir, const char* name, uint32_t value);
// Stores a REG_SZ in the settings store of Server ("sreg") or of StartViewer ("vreg") for dir.
bool SettingText(const testsupport::TempDir& dir, const char* store, const char* name,
                 const std::string& value);

// glimt on its display, pointed at a server host or group, with its own settings store.
std::unique_ptr<testsupport::Child> StartViewer(const testsupport::Xvfb& x,
                                                const testsupport::TempDir& dir,
                                                const std::vector<std::string>& args,
                                                const std::vector<std::string>& prefix = {});

// One well-behaved "init" exchange with host:10510, from the local address source (nullptr:
// the kernel's choice). Returns the reply ("" when none came) and, in *ms, how long it took
// from the connect to the server's close.
std::string Init(const char* host, double* ms, int limit_ms = 10000,
                 const char* source = nullptr);
// Polls Init until the service answers; true when it did within the limit.
bool WaitForService(const char* host, std::chrono::milliseconds limit);
// "go\r\n" to host:10510.
bool Go(const char* host, const char* source = nullptr);
// "go\r\n", then waits for the server to close the connection (it does so once it has raised
// the refresh flag). Milliseconds from the connect to the close; -1 when none came in time.
double GoAndWaitForClose(const char* host, const char* source, int limit_ms);

// A host that abuses the rendezvous service from a thread of its own: it opens silent
// connections to host:10510 from the given local addresses in turn and never sends or closes
// first. keep == 0: one more every every_ms, each held until the server closes it.
// keep > 0: keep that many open, opening new ones every every_ms for those the server closed.
class SilentHost {
 public:
  SilentHost(const char* host, std::vector<std::string> sources, int every_ms, int keep);
  ~SilentHost();  // stops and closes what it holds
  void Stop();
  int opened() const { return opened_; }
  int closed_by_server() const { return closed_by_server_; }
  int failed() const { return failed_; }  // connects that failed at once
 private:
  void Run(const std::string& host, const std::vector<std::string>& sources, int every_ms,
           int keep);
  std::atomic<bool> stop_{false};
  std::atomic<int> opened_{0}, closed_by_server_{0}, failed_{0};
  std::thread thread_;
};

// Receives on group:port in a thread of its own and notes the arrival time of every
// UPDATE_AREA and the number of each kind.
class Listener {
 public:
  Listener(const char* group, int port);
  ~Listener();
  bool ok() const { return sock_ >= 0; }
  std::vector<Clock::time_point> Areas();
  int Blocks() const { return blocks_; }
  int Areas(Clock::time_point from, Clock::time_point to);
 private:
  int sock_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<int> blocks_{0};
  std::mutex mutex_;
  std::vector<Clock::time_point> areas_;
  std::thread thread_;
};

// Shots of a test display and drawing on it (the "client that keeps drawing").
using testsupport::Differences;
using testsupport::FillRootRectangle;
using testsupport::Grab;
using testsupport::Screenshot;

// From /proc/PID/status and /proc/PID/fd.
struct Resources {
  long rss_kib = -1;
  int threads = -1;
  int pooled = 0;  // Qt's pooled worker threads: at most one a core, ended after 30 s idle
  int fds = -1;
  // Threads and descriptors of the program itself: each pooled thread holds one eventfd.
  int own_threads() const { return threads - pooled; }
  int own_fds() const { return fds - pooled; }
};
Resources ResourcesOf(pid_t pid);

double MsSince(Clock::time_point t);

}  // namespace hardening

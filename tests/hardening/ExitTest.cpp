// The viewer's exit while its receive thread is held inside a call (a tracer stops it at the
// start of a receive while blocks stream in). The viewer is told to end: it must end by itself
// within a few seconds, with status 0, without tearing the toolkit down around the held
// thread, and the thread must make no call into Qt from then on. A preloaded spy notes the
// QApplication's destructor and every queued call into Qt, with the calling thread.
#include <gtest/gtest.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/glimt/NetTestSupport.h"
#include "tests/hardening/Harness.h"

using namespace std::chrono_literals;
using namespace hardening;
using testsupport::TempDir;
using testsupport::WaitFor;
using testsupport::Xvfb;

namespace {

// The nice value of thread tid of pid (field 19 of its stat), or INT_MAX when unreadable.
int NiceOf(pid_t pid, const std::string& tid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + tid + "/stat");
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t paren = all.rfind(')');
  if (paren == std::string::npos) return INT_MAX;
  std::istringstream f(all.substr(paren + 2));
  std::string v;
  for (int field = 3; f >> v; ++field)
    if (field == 19) return std::atoi(v.c_str());
  return INT_MAX;
}

// The thread of pid that raised its priority above the main thread's: the receive thread.
// (Compared with the main thread, not with 0: the tests may themselves run under nice.)
pid_t ReceiveThreadOf(pid_t pid) {
  const int main_nice = NiceOf(pid, std::to_string(pid));
  const std::string out = testsupport::Shell("ls /proc/" + std::to_string(pid) + "/task");
  std::istringstream tasks(out);
  std::string tid;
  while (tasks >> tid)
    if (NiceOf(pid, tid) < main_nice) return std::atoi(tid.c_str());
  return -1;
}

// Waits for the next stop of a traced thread, for at most limit; false on time-out or exit.
bool NextStop(pid_t tid, int* status, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  while (Clock::now() < end) {
    const pid_t r = waitpid(tid, status, __WALL | WNOHANG);
    if (r == tid) return WIFSTOPPED(*status);
    if (r < 0) return false;
    std::this_thread::sleep_for(1ms);
  }
  return false;
}

bool SyscallStop(int status) { return WSTOPSIG(status) == (SIGTRAP | 0x80); }

__ptrace_syscall_info SyscallInfo(pid_t tid) {
  __ptrace_syscall_info info{};
  ptrace(PTRACE_GET_SYSCALL_INFO, tid, sizeof info, &info);
  return info;
}

// Resumes a thread after a stop: to its next system call, with the signal it stopped for
// unless that was the tracer's own.
void Resume(pid_t tid, int status) {
  const int sig = WSTOPSIG(status);
  const bool own = SyscallStop(status) || sig == SIGTRAP || (status >> 16) == PTRACE_EVENT_STOP;
  ptrace(PTRACE_SYSCALL, tid, nullptr, own ? nullptr : reinterpret_cast<void*>(static_cast<long>(sig)));
}

// Calls into Qt that thread tid made after byte offset `from` of the spy's file.
int CallsAfter(const std::string& file, std::size_t from, pid_t tid) {
  std::ifstream in(file);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream lines(from < all.size() ? all.substr(from) : "");
  int calls = 0;
  for (int t; lines >> t;) calls += t == tid;
  return calls;
}

std::size_t FileSize(const std::string& file) {
  std::ifstream in(file, std::ios::ate | std::ios::binary);
  return in ? static_cast<std::size_t>(in.tellg()) : 0;
}

TEST(ViewerExit, WithItsReceiveThreadHeldInsideACallItEndsWithoutTearingTheToolkitDown) {
  REQUIRE_PRIVATE_NETWORK();
  Xvfb vx(320, 240, 24);
  ASSERT_TRUE(vx.ok());
  TempDir dir;
  glimttest::FakeRendezvous service;
  ASSERT_TRUE(service.ok());
  glimttest::Sender sender("227.0.1.1", 10510);
  service.OnGo([&] { glimttest::SendRefresh(sender, 320, 240); });
  const std::string spy = dir / "posts";
  // The sanitizer's runtime need not come first: the spy is only a shim.
  auto viewer = StartViewer(vx, dir, {"127.0.0.1"},
                            {"env", "LD_PRELOAD=" + std::string(ORVANE_POST_SPY_LIBRARY),
                             "ORVANE_POST_SPY=" + spy, "ASAN_OPTIONS=verify_asan_link_order=0"});
  const pid_t pid = viewer->pid();
  ASSERT_TRUE(WaitFor([&] { return Grab(vx.display(), 320, 240).At(100, 100) == glimttest::PatternPixel(100, 100); }, 10s))
      << "the viewer never showed the picture";
  std::atomic<bool> streaming{true};
  std::thread stream([&] {
    for (int i = 0; streaming; ++i) {
      sender.Send(glimttest::PatternBlock(0, (i * 8) % 232, 320, (i * 8) % 232 + 8));
      std::this_thread::sleep_for(2ms);
    }
  });
  // A failed assertion returns early: the stream must still be ended, not left to terminate().
  struct EndStream {
    std::atomic<bool>& on;
    std::thread& thread;
    ~EndStream() {
      on = false;
      if (thread.joinable()) thread.join();
    }
  } end_stream{streaming, stream};
  const pid_t receiver = ReceiveThreadOf(pid);
  ASSERT_GT(receiver, 0) << "no receive thread";

  // Hold the receive thread at the start of a receive.
  int status = 0;
  ASSERT_EQ(ptrace(PTRACE_SEIZE, receiver, nullptr, PTRACE_O_TRACESYSGOOD), 0) << errno;
  ptrace(PTRACE_INTERRUPT, receiver, nullptr, nullptr);
  ASSERT_TRUE(NextStop(receiver, &status, 5s));
  bool held = false;
  for (int i = 0; i < 10000 && !held; ++i) {
    Resume(receiver, status);
    ASSERT_TRUE(NextStop(receiver, &status, 5s));
    if (!SyscallStop(status)) continue;
    const __ptrace_syscall_info info = SyscallInfo(receiver);
    held = info.op == PTRACE_SYSCALL_INFO_ENTRY &&
           (info.entry.nr == SYS_recvmsg || info.entry.nr == SYS_recvfrom);
  }
  ASSERT_TRUE(held) << "the receive thread never started a receive";

  // End the viewer; the receive thread stays held.
  const std::size_t told_at = FileSize(spy);
  ASSERT_GT(CallsAfter(spy, 0, receiver), 0) << "the spy saw no call of the receive thread";
  const auto told = Clock::now();
  kill(pid, SIGTERM);
  // The held thread dies with the process; its tracer reaps it, so that the process can end.
  bool thread_gone = false;
  while (!thread_gone && Clock::now() - told < 10s) {
    if (!NextStop(receiver, &status, 100ms)) {
      thread_gone = waitpid(receiver, &status, __WALL | WNOHANG) != 0;
      continue;
    }
    // A stop for a signal (the process's SIGKILL at its end does not stop it): keep it held.
  }
  int exit_status = -1;
  ASSERT_TRUE(viewer->Wait(10s, &exit_status)) << "the viewer did not end";
  const double ended_ms = MsSince(told);
  std::string calls;
  testsupport::Run("tail -c +" + std::to_string(told_at + 1) + " '" + spy + "' | sort | uniq -c",
                   &calls);
  std::printf("[measure] exit: ended %.0f ms after SIGTERM; spy after it: %s\n", ended_ms,
              calls.c_str());
  EXPECT_EQ(exit_status, 0);
  EXPECT_LT(ended_ms, 3000);
  EXPECT_EQ(CallsAfter(spy, told_at, receiver), 0) << "the receive thread called into Qt";
  std::string log;
  testsupport::Run("cat '" + dir.path() + "'/viewer/glimt-*.log", &log);
  EXPECT_EQ(calls.find("teardown"), std::string::npos)
      << "the toolkit was torn down while the receive thread was held inside a call";
  EXPECT_NE(log.find("Viewer ends without waiting for its receive thread"), std::string::npos) << log;
}

}  // namespace

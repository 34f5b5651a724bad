// When the viewer asks for a full refresh: the schedule with an injected clock, and the
// requester thread that keeps the callers from waiting on a connection.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "glimt/Rendezvous.h"

using namespace std::chrono_literals;
using Clock = RefreshSchedule::Clock;

namespace {

struct Event {
  int ms;
  bool loss;  // false: asked for (start-up, a new size)
};

// Runs the schedule as the requester's thread does, one millisecond at a time, with every
// request sent the moment it is due; returns the send times.
std::vector<int> SendTimes(const std::vector<Event>& events, int until_ms,
                           Clock::duration interval = 3s) {
  RefreshSchedule s(interval);
  const Clock::time_point zero{};
  std::vector<int> sent;
  std::size_t next = 0;
  for (int ms = 0; ms <= until_ms; ++ms) {
    for (; next < events.size() && events[next].ms == ms; ++next)
      events[next].loss ? s.AskAfterLoss() : s.Ask();
    const Clock::time_point now = zero + std::chrono::milliseconds(ms);
    if (const auto due = s.Due(); due && *due <= now) {
      s.Sent(now);
      sent.push_back(ms);
    }
  }
  return sent;
}

TEST(RefreshScheduleTest, LossesAskAtMostOncePerIntervalAndTheLastLossIsAlwaysCovered) {
  struct Case { const char* what; std::vector<Event> events; std::vector<int> sent; };
  const Case cases[] = {
      {"nothing lost, nothing asked", {}, {}},
      {"a first loss asks at once", {{100, true}}, {100}},
      {"a burst: once at its start, once for the rest", {{0, true}, {5, true}, {500, true},
                                                         {2000, true}}, {0, 3000}},
      {"next loss one below the interval", {{0, true}, {2999, true}}, {0, 3000}},
      {"next loss at exactly the interval", {{0, true}, {3000, true}}, {0, 3000}},
      {"next loss one above the interval", {{0, true}, {3001, true}}, {0, 3001}},
      {"a steady loss: one request each interval", {{0, true}, {1000, true}, {2000, true},
                                                    {3000, true}, {4000, true}, {5000, true},
                                                    {6000, true}, {7000, true}},
       {0, 3000, 6000, 9000}},
      {"asked-for requests are never held back", {{0, false}, {1, false}, {2000, false}},
       {0, 1, 2000}},
      {"an asked-for request covers the losses before it", {{0, true}, {1000, false},
                                                             {1500, true}}, {0, 1000, 4000}},
      {"requests that wait are merged", {{0, true}, {10, true}, {20, false}}, {0, 20}},
  };
  for (const Case& c : cases) EXPECT_EQ(SendTimes(c.events, 12000), c.sent) << c.what;
}

// A Send that stands for a connection that takes its time (ConnectTo may block 21 s).
class SlowSend {
 public:
  void operator()() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++started_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return released_; });
    released_ = false;
  }
  void Release() {
    std::lock_guard<std::mutex> hold(mutex_);
    released_ = true;
    changed_.notify_all();
  }
  bool WaitStarted(int n, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return started_ >= n; });
  }
  int started() {
    std::lock_guard<std::mutex> hold(mutex_);
    return started_;
  }
 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int started_ = 0;
  bool released_ = false;
};

TEST(RefreshRequesterTest, CallersNeverWaitForTheConnectionAndNothingStartsAfterStop) {
  // Never deleted, as in the viewer: the thread may still be inside a call. Static, so that
  // they stay reachable.
  static auto* send = new SlowSend;
  static auto* requester = new RefreshRequester([] { (*send)(); }, 50ms);
  ASSERT_TRUE(requester->Start());
  requester->Ask();
  ASSERT_TRUE(send->WaitStarted(1, 5s));
  // While the first request hangs in its connection, the callers go on at once.
  const auto start = Clock::now();
  for (int i = 0; i < 1000; ++i) {
    requester->AskAfterLoss();
    requester->Ask();
  }
  EXPECT_LT(Clock::now() - start, 1s);
  EXPECT_EQ(send->started(), 1);
  // Everything asked meanwhile goes out as one request once the first is done.
  send->Release();
  ASSERT_TRUE(send->WaitStarted(2, 5s));
  EXPECT_TRUE(requester->Stop()) << "a request is under way";
  send->Release();
  requester->AskAfterLoss();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(send->started(), 2) << "a request started after Stop";
  EXPECT_FALSE(requester->Stop());
}

}  // namespace

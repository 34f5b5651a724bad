#pragma once
// The viewer's side of the rendezvous service on TCP port 10510: "init" for the target, "go"
// for a full refresh. RendezvousExchange and SendRefreshRequest block (ConnectTo may take
// 21 s); the viewer sends its "go" requests through a RefreshRequester, on a thread of its
// own, so that neither the receive thread nor the window waits for a connection. Reports only
// through the socket layer's own log lines.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>

constexpr int RENDEZVOUS_PORT = 10510;
// The "init" answer is awaited at most this long, so a silent host cannot hang start-up.
constexpr int kRendezvousAnswerMs = 5000;

// Connects to server, sends "init\r\n" and reads one answer into group (kTextBytes bytes,
// zeroed first). False when no connection could be made. An answer that is missing, late or
// fills all 259 characters (it may have been cut) leaves group empty.
bool RendezvousExchange(const char* server, char* group, int answer_ms = kRendezvousAnswerMs);
// "go\r\n" to server, answer not read. Nothing when server is empty.
void SendRefreshRequest(const char* server);

// When the next "go" is due. Asked-for requests (start-up, a new window size) are due at
// once; a request for lost blocks at most once per interval after the last request of either
// kind, since every full refresh makes good all that was lost before it. Requests that wait
// are merged into one. No thread, no clock of its own: the caller passes the time.
class RefreshSchedule {
 public:
  using Clock = std::chrono::steady_clock;
  explicit RefreshSchedule(Clock::duration loss_interval) : loss_interval_(loss_interval) {}
  void Ask() { asked_ = true; }
  void AskAfterLoss() { lost_ = true; }
  // The time the waiting request is due, or nothing when none waits.
  std::optional<Clock::time_point> Due() const;
  // A request goes out now: what waited is covered by it.
  void Sent(Clock::time_point now);

 private:
  Clock::duration loss_interval_;
  std::optional<Clock::time_point> last_sent_;
  bool asked_ = false;
  bool lost_ = false;
};

// Sends the requests of a RefreshSchedule on a detached thread of its own. Heap-allocate it
// and never delete it: the thread may be inside a connection when the program ends.
class RefreshRequester {
 public:
  // A request for lost blocks at most this often.
  static constexpr std::chrono::seconds kLossInterval{3};
  using Send = std::function<void()>;
  explicit RefreshRequester(Send send,
                            RefreshSchedule::Clock::duration loss_interval = kLossInterval);
  RefreshRequester(const RefreshRequester&) = delete;
  RefreshRequester& operator=(const RefreshRequester&) = delete;
  // Starts the thread; false when it could not be made.
  bool Start();
  void Ask();
  void AskAfterLoss();
  // At exit: no request starts after this. True when one is under way (the thread is inside
  // Send and may stay there for a while).
  bool Stop();

 private:
  void Run();

  Send send_;
  std::mutex mutex_;
  std::condition_variable wake_;
  RefreshSchedule schedule_;
  bool stopped_ = false;
  bool sending_ = false;
};

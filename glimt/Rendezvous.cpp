#include "glimt/Rendezvous.h"

#include <cstring>
#include <system_error>
#include <thread>

#include "Common/ClientSocket.h"
#include "Common/Target.h"
#include "platform/Socket.h"

bool RendezvousExchange(const char* server, char* group, int answer_ms) {
  const int sock = ConnectTo(server, RENDEZVOUS_PORT);
  if (sock == INVALID_SOCKET) return false;
  SendText(sock, "init\r\n");
  std::memset(group, 0, kTextBytes);
  // One byte short of the buffer, so the text always stays terminated.
  if (WaitReadable(sock, answer_ms)) Receive(sock, group, kTextBytes - 1);
  if (std::strlen(group) >= kTextBytes - 1) group[0] = 0;
  CloseSocket(sock);
  return true;
}

void SendRefreshRequest(const char* server) {
  if (!server[0]) return;
  const int sock = ConnectTo(server, RENDEZVOUS_PORT);
  if (sock == INVALID_SOCKET) return;
  SendText(sock, "go\r\n");
  CloseSocket(sock);
}

std::optional<RefreshSchedule::Clock::time_point> RefreshSchedule::Due() const {
  if (asked_ || (lost_ && !last_sent_)) return Clock::time_point::min();
  if (lost_) return *last_sent_ + loss_interval_;
  return std::nullopt;
}

void RefreshSchedule::Sent(Clock::time_point now) {
  asked_ = lost_ = false;
  last_sent_ = now;
}

RefreshRequester::RefreshRequester(Send send, RefreshSchedule::Clock::duration loss_interval)
    : send_(std::move(send)), schedule_(loss_interval) {}

bool RefreshRequester::Start() {
  try {
    std::thread([this] { Run(); }).detach();
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void RefreshRequester::Ask() {
  std::lock_guard<std::mutex> hold(mutex_);
  schedule_.Ask();
  wake_.notify_one();
}

void RefreshRequester::AskAfterLoss() {
  std::lock_guard<std::mutex> hold(mutex_);
  schedule_.AskAfterLoss();
  wake_.notify_one();
}

bool RefreshRequester::Stop() {
  std::lock_guard<std::mutex> hold(mutex_);
  stopped_ = true;
  wake_.notify_one();
  return sending_;
}

void RefreshRequester::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopped_) {
    const auto due = schedule_.Due();
    const auto now = RefreshSchedule::Clock::now();
    if (!due) {
      wake_.wait(lock);
    } else if (*due > now) {
      wake_.wait_until(lock, *due);
    } else {
      schedule_.Sent(now);
      sending_ = true;
      lock.unlock();
      send_();
      lock.lock();
      sending_ = false;
    }
  }
}

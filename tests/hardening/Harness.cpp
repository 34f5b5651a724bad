#include "tests/hardening/Harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "Common/MulticastSocket.h"
#include "Common/Registry.h"
#include "Common/UpdateHeader.h"
#include "platform/Socket.h"

using namespace std::chrono_literals;
using testsupport::BinDir;
using testsupport::Child;
using testsupport::Run;
using testsupport::WaitFor;

namespace hardening {


double MsSince(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

Server::Server(const testsupport::Xvfb& x, const testsupport::TempDir& dir,
               const std::vector<std::string>& prefix, const std::vector<std::string>& env) {
  dir_ = dir.path();
  Run("mkdir -p '" + dir_ + "/server' && cp '" + BinDir() + "/varno' '" + BinDir() +
      "/libhooks.so' '" + dir_ + "/server/'");
  std::vector<std::string> argv = prefix;
  argv.push_back(dir_ + "/server/varno");
  std::vector<std::string> e = {"DISPLAY=" + x.display(), "ORVANE_REGISTRY=" + dir_ + "/sreg",
                                "QT_QPA_PLATFORM=xcb", "DBUS_SESSION_BUS_ADDRESS=disabled:",
                                "XDG_RUNTIME_DIR=" + dir_};
  e.insert(e.end(), env.begin(), env.end());
  child_ = std::make_unique<Child>(argv, e, dir_ + "/server/varno.out");
}

std::string Server::Log() const {
  std::string out;
  Run("cat '" + dir_ + "'/server/varno-*.log '" + dir_ + "/server/varno.out' 2>/dev/null", &out);
  return out;
}

namespace {
// Runs store() with the settings store of dir/folder in force.
template <typename F>
bool InStore(const testsupport::TempDir& dir, const char* folder, F store) {
  const char* saved = std::getenv("ORVANE_REGISTRY");
  const std::string before = saved ? saved : "";
  setenv("ORVANE_REGISTRY", (dir / folder).c_str(), 1);
  const bool ok = store();
  if (saved) setenv("ORVANE_REGISTRY", before.c_str(), 1);
  else unsetenv("ORVANE_REGISTRY");
  return ok;
}
}  // namespace

bool ServerSetting(const testsupport::TempDir& dir, const char* name, uint32_t value) {
  return InStore(dir, "sreg", [&] { return SetSettingDword(name, value, "Parameters"); });
}

bool SettingText(const testsupport::TempDir& dir, const char* store, const char* name,
                 const std::string& value) {
  return InStore(dir, store, [&] { return SetSettingString(name, value.c_str(), "Parameters"); });
}

std::string Server::LogFile() const {
  std::string out;
  Run("cat '" + dir_ + "'/server/varno-*.log 2>/dev/null", &out);
  return out;
}

std::unique_ptr<Child> StartViewer(const testsupport::Xvfb& x, const testsupport::TempDir& dir,
                                   const std::vector<std::string>& args,
                                   const std::vector<std::string>& prefix) {
  Run("mkdir -p '" + dir.path() + "/viewer' && cp '" + BinDir() + "/glimt' '" + dir.path() +
      "/viewer/'");
  std::vector<std::string> argv = prefix;
  argv.push_back(dir.path() + "/viewer/glimt");
  argv.insert(argv.end(), args.begin(), args.end());
  return std::make_unique<Child>(
      argv,
      std::vector<std::string>{"DISPLAY=" + x.display(), "ORVANE_REGISTRY=" + dir / "vreg",
                               "QT_QPA_PLATFORM=xcb", "DBUS_SESSION_BUS_ADDRESS=disabled:",
                               "XDG_RUNTIME_DIR=" + dir.path()},
      dir / "viewer/glimt.out");
}

std::string Init(const char* host, double* ms, int limit_ms, const char* source) {
  const auto start = Clock::now();
  std::string reply;
  // At most 2 s for the handshake: a SYN sent before the far end of a link is up is retried
  // for two minutes, far beyond any wait of a test.
  const int s = testsupport::ConnectFrom(source, host, 10510);
  if (s >= 0) {
    if (send(s, "init\r\n", 6, MSG_NOSIGNAL) == 6)
      reply = testsupport::ReadUntilClosed(s, limit_ms - static_cast<int>(MsSince(start)));
    close(s);
  }
  if (ms) *ms = MsSince(start);
  return reply;
}

bool WaitForService(const char* host, std::chrono::milliseconds limit) {
  return WaitFor([&] { return !Init(host, nullptr, 3000).empty(); }, limit);
}

bool Go(const char* host, const char* source) {
  const int s = testsupport::ConnectFrom(source, host, 10510);
  if (s < 0) return false;
  const bool sent = send(s, "go\r\n", 4, MSG_NOSIGNAL) == 4;
  close(s);
  return sent;
}

double GoAndWaitForClose(const char* host, const char* source, int limit_ms) {
  const auto start = Clock::now();
  const int s = testsupport::ConnectFrom(source, host, 10510);
  if (s < 0) return -1;
  double ms = -1;
  bool closed = false;
  if (send(s, "go\r\n", 4, MSG_NOSIGNAL) == 4) {
    testsupport::ReadUntilClosed(s, limit_ms - static_cast<int>(MsSince(start)), &closed);
    if (closed) ms = MsSince(start);
  }
  close(s);
  return ms;
}

SilentHost::SilentHost(const char* host, std::vector<std::string> sources, int every_ms,
                       int keep)
    : thread_([this, h = std::string(host), sources, every_ms, keep] {
        Run(h, sources, every_ms, keep);
      }) {}

SilentHost::~SilentHost() { Stop(); }

void SilentHost::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void SilentHost::Run(const std::string& host, const std::vector<std::string>& sources,
                     int every_ms, int keep) {
  std::vector<pollfd> held;
  std::size_t next_source = 0;
  auto next_open = Clock::now();
  auto open_one = [&] {
    const std::string& from = sources[next_source++ % sources.size()];
    // Non-blocking: a connect that waits in a full accept queue must not stop the others.
    const int s = testsupport::ConnectFrom(from.c_str(), host.c_str(), 10510, 0, true);
    if (s < 0) {
      ++failed_;
      return false;
    }
    held.push_back(pollfd{s, POLLIN, 0});
    ++opened_;
    return true;
  };
  while (!stop_) {
    if (Clock::now() >= next_open) {
      if (keep == 0) open_one();
      while (static_cast<int>(held.size()) < keep && open_one()) {
      }
      next_open += std::chrono::milliseconds(every_ms);
    }
    if (poll(held.data(), held.size(), 10) <= 0) continue;
    char buf[64];
    for (std::size_t i = 0; i < held.size();) {
      const ssize_t n = held[i].revents ? recv(held[i].fd, buf, sizeof buf, MSG_DONTWAIT) : 1;
      if (n == 0 || (n < 0 && errno != EAGAIN)) {
        ++closed_by_server_;
        close(held[i].fd);
        held[i] = held.back();
        held.pop_back();
        continue;
      }
      held[i].revents = 0;
      ++i;
    }
  }
  for (const pollfd& p : held) close(p.fd);
}

Listener::Listener(const char* group, int port) {
  sock_ = OpenMulticastReceiver(group, port);
  if (sock_ < 0) return;
  thread_ = std::thread([this] {
    std::vector<uint8_t> buf(65536);
    while (!stop_) {
      pollfd p{sock_, POLLIN, 0};
      if (poll(&p, 1, 50) != 1) continue;
      const ssize_t n = recv(sock_, buf.data(), buf.size(), 0);
      UpdateHeader h;
      if (n < 0 || !DecodeUpdateHeader(buf.data(), static_cast<std::size_t>(n), h)) continue;
      if (h.kind == UPDATE_AREA) {
        std::lock_guard<std::mutex> hold(mutex_);
        areas_.push_back(Clock::now());
      } else if (h.kind == UPDATE_BLOCK) {
        ++blocks_;
      }
    }
  });
}

Listener::~Listener() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (sock_ >= 0) close(sock_);
}

std::vector<Clock::time_point> Listener::Areas() {
  std::lock_guard<std::mutex> hold(mutex_);
  return areas_;
}

int Listener::Areas(Clock::time_point from, Clock::time_point to) {
  int n = 0;
  for (const auto& t : Areas()) n += t >= from && t <= to;
  return n;
}

Resources ResourcesOf(pid_t pid) {
  Resources r;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) r.rss_kib = std::atol(line.c_str() + 6);
    if (line.rfind("Threads:", 0) == 0) r.threads = std::atoi(line.c_str() + 8);
  }
  r.fds = testsupport::CountFds(pid);
  std::string names;
  Run("cat /proc/" + std::to_string(pid) + "/task/*/comm 2>/dev/null", &names);
  for (std::size_t p = 0; (p = names.find("Thread (pooled)", p)) != std::string::npos; ++p)
    ++r.pooled;
  return r;
}

}  // namespace hardening

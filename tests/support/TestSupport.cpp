#include "tests/support/TestSupport.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <net/if.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace testsupport {

bool InPrivateNetwork() {
  struct if_nameindex* names = if_nameindex();
  if (!names) return false;
  bool only_lo = true;
  for (auto* p = names; p->if_index != 0; ++p) {
    if (std::strcmp(p->if_name, "lo") != 0) only_lo = false;
  }
  if_freenameindex(names);
  if (!only_lo) return false;
  static bool prepared = false;
  if (!prepared) {
    // Idempotent: the route may exist already when netns-run set it up.
    Run("ip link set lo up && ip link set lo multicast on && "
        "(ip route add 224.0.0.0/4 dev lo 2>/dev/null || true)");
    prepared = true;
  }
  return true;
}

namespace {

// One start of Xvfb on a display it picks itself; false when it ended or stayed silent
// before announcing the display. Its error output goes to err_file.
bool StartXvfb(const std::vector<std::string>& args, const std::string& err_file, pid_t* pid,
               std::string* display) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  *pid = fork();
  if (*pid == 0) {
    const int devnull = open("/dev/null", O_RDWR);
    const int err = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(devnull, 1);
    dup2(err >= 0 ? err : devnull, 2);
    // The one descriptor the server writes its display number to; dup2 onto itself would
    // keep close-on-exec.
    if (fds[1] == 3) fcntl(3, F_SETFD, 0);
    else dup2(fds[1], 3);
    std::vector<std::string> full = {"Xvfb", "-displayfd", "3"};
    full.insert(full.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : full) argv.push_back(a.data());
    argv.push_back(nullptr);
    execvp("Xvfb", argv.data());
    _exit(127);
  }
  close(fds[1]);
  char buf[32] = {};
  ssize_t n = 0, got = 0;
  // Xvfb writes the display number followed by a newline once it accepts clients.
  // At most 30 s: a server that never gets ready fails this test, not the whole run.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (*pid > 0 && got < (ssize_t)sizeof(buf) - 1) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        give_up - std::chrono::steady_clock::now()).count();
    pollfd p{fds[0], POLLIN, 0};
    const int ready = left > 0 ? poll(&p, 1, static_cast<int>(left)) : 0;
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    if ((n = read(fds[0], buf + got, sizeof(buf) - 1 - got)) <= 0) break;
    got += n;
    if (std::memchr(buf, '\n', got)) break;
  }
  close(fds[0]);
  if (*pid <= 0 || !std::memchr(buf, '\n', got)) {
    if (*pid > 0) { kill(*pid, SIGKILL); waitpid(*pid, nullptr, 0); }
    *pid = -1;
    return false;
  }
  *display = ":" + std::string(buf, std::strcspn(buf, "\n"));
  return true;
}

// A display number of this process's own. Each test runs in a network namespace of its own,
// where the server's abstract socket is always free, so left to itself every server would
// take :0 and replace the others' /tmp/.X11-unix/X0: a program in a further namespace (the
// network tests' varno), which can reach only that file, would then talk to another test's
// display.
int DisplayNumber() {
  static std::atomic<int> next{0};
  return 1000 + static_cast<int>(getpid() % 20000) * 16 + next++ % 16;
}

}  // namespace

Xvfb::Xvfb(int width, int height, int depth, const std::vector<std::string>& extra) {
  const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x" +
                             std::to_string(depth);
  // -noreset: by default the server regenerates when its last client leaves, and a
  // program that connects during that moment is refused; a real desktop always has clients.
  std::vector<std::string> args = {"-screen", "0", screen, "-nolisten", "tcp", "-noreset",
                                   "+extension", "DAMAGE", "+extension", "XFIXES", "-ac"};
  args.insert(args.end(), extra.begin(), extra.end());
  TempDir dir;
  const std::string err_file = dir / "xvfb.err";
  // Now and then a server started while another test's is starting or ending gives up at
  // once; a second start is then enough.
  for (int attempt = 1; attempt <= 3; ++attempt) {
    std::vector<std::string> numbered = args;
    numbered.insert(numbered.begin(), ":" + std::to_string(DisplayNumber()));
    if (StartXvfb(numbered, err_file, &pid_, &display_)) return;
    std::string why;
    Run("tail -5 '" + err_file + "'", &why);
    std::fprintf(stderr, "Xvfb did not start (attempt %d of 3):\n%s\n", attempt, why.c_str());
    usleep(200000);
  }
}

Xvfb::~Xvfb() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    for (int i = 0; i < 200; ++i) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
      usleep(10000);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& env,
             const std::string& output_file) {
  pid_ = fork();
  if (pid_ == 0) {
    if (!output_file.empty()) {
      int fd = open(output_file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (fd >= 0) { dup2(fd, 1); dup2(fd, 2); }
    }
    for (const auto& e : env) putenv(strdup(e.c_str()));
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(strdup(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
}

Child::~Child() {
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool Child::running() {
  if (pid_ <= 0 || reaped_) return false;
  int st = 0;
  if (waitpid(pid_, &st, WNOHANG) == pid_) {
    reaped_ = true;
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return false;
  }
  return true;
}

bool Child::Wait(std::chrono::milliseconds limit, int* status) {
  bool done = WaitFor([&] { return !running(); }, limit);
  if (done && status) *status = status_;
  return done;
}

void Child::Kill(int sig) {
  if (pid_ > 0 && !reaped_) kill(pid_, sig);
}

int Run(const std::string& command, std::string* out) {
  FILE* p = popen(command.c_str(), "r");
  if (!p) return -1;
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
  int st = pclose(p);
  if (out) *out = text;
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

TempDir::TempDir() {
  char tmpl[] = "/tmp/orvane-test-XXXXXX";
  if (mkdtemp(tmpl)) path_ = tmpl;
}

TempDir::~TempDir() {
  if (!path_.empty()) Run("rm -rf '" + path_ + "'");
}

int ConnectFrom(const char* source, const char* host, int port, int timeout_ms,
                bool nonblocking) {
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (s < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  if (source) {
    // Without it each address could use only the ports left free by all the others.
    int on = 1;
    setsockopt(s, SOL_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
    if (inet_aton(source, &a.sin_addr) == 0 ||
        bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      close(s);
      return -1;
    }
  }
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_aton(host, &a.sin_addr) == 0) {
    close(s);
    return -1;
  }
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    if (errno != EINPROGRESS) {
      close(s);
      return -1;
    }
    if (nonblocking && timeout_ms == 0) return s;  // the handshake goes on
    // A SYN sent into a full accept queue is retried for minutes: bounded here.
    pollfd p{s, POLLOUT, 0};
    int error = 0;
    socklen_t length = sizeof error;
    if (poll(&p, 1, timeout_ms) != 1 ||
        getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
      close(s);
      return -1;
    }
  }
  if (!nonblocking) fcntl(s, F_SETFL, fcntl(s, F_GETFL) & ~O_NONBLOCK);
  return s;
}

std::string ReadUntilClosed(int s, int limit_ms, bool* closed) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
  std::string got;
  if (closed) *closed = false;
  char buf[512];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          end - std::chrono::steady_clock::now()).count();
    pollfd p{s, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) != 1) return got;
    const ssize_t n = recv(s, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && errno == EAGAIN) continue;
    if (n <= 0) {
      if (closed) *closed = true;
      return got;
    }
    got.append(buf, static_cast<std::size_t>(n));
  }
}

long UdpSocketDrops(int port) {
  char key[16];
  std::snprintf(key, sizeof key, ":%04X ", port);
  std::ifstream in("/proc/net/udp");
  std::string line;
  while (std::getline(in, line)) {
    const std::size_t at = line.find(key);
    if (at == std::string::npos || at > 20) continue;  // the local address comes first
    std::istringstream fields(line);
    std::string field, last;
    while (fields >> field) last = field;
    return std::atol(last.c_str());
  }
  return -1;
}

int CountFds(pid_t pid) {
  std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* d = opendir(dir.c_str());
  if (!d) return -1;
  int n = 0;
  while (struct dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') ++n;
  }
  closedir(d);
  return pid == getpid() ? n - 1 : n;  // our own count includes the DIR handle
}

std::string BinDir() {
  const char* v = getenv("ORVANE_BIN_DIR");
  return v ? v : ORVANE_BIN_DIR_DEFAULT;
}

std::string SourceDir() {
  const char* v = getenv("ORVANE_SOURCE_DIR");
  return v ? v : ORVANE_SOURCE_DIR_DEFAULT;
}

}  // namespace testsupport

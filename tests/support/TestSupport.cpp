#include "tests/support/TestSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <net/if.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

Xvfb::Xvfb(int width, int height, int depth, const std::vector<std::string>& extra) {
  int fds[2];
  if (pipe(fds) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    close(fds[0]);
    int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, 1);
    dup2(devnull, 2);
    std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x" +
                         std::to_string(depth);
    std::string fd = std::to_string(fds[1]);
    // -noreset: by default the server regenerates when its last client leaves, and a
    // program that connects during that moment is refused; a real desktop always has clients.
    std::vector<std::string> args = {"Xvfb", "-displayfd", fd, "-screen", "0", screen,
                                     "-nolisten", "tcp", "-noreset", "+extension", "DAMAGE",
                                     "+extension", "XFIXES", "-ac"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
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
  while (got < (ssize_t)sizeof(buf) - 1) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        give_up - std::chrono::steady_clock::now()).count();
    pollfd p{fds[0], POLLIN, 0};
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
    if ((n = read(fds[0], buf + got, sizeof(buf) - 1 - got)) <= 0) break;
    got += n;
    if (std::memchr(buf, '\n', got)) break;
  }
  if (!std::memchr(buf, '\n', got)) got = 0;
  close(fds[0]);
  if (got <= 0) {
    if (pid_ > 0) { kill(pid_, SIGKILL); waitpid(pid_, nullptr, 0); }
    pid_ = -1;
    return;
  }
  display_ = ":" + std::string(buf, std::strcspn(buf, "\n"));
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

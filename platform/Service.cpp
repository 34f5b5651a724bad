#include "platform/Service.h"

#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

extern char** environ;

namespace {
// Runs systemctl with the given arguments; its standard output (trimmed) in *out. Returns the
// exit code, or -1 when it could not be run.
int RunSystemctl(const std::vector<std::string>& args, std::string* out) {
  std::vector<std::string> all = {"systemctl"};
  if (geteuid() != 0) all.push_back("--user");
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);

  int pipefd[2];
  if (pipe2(pipefd, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipefd[1], 1);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, "systemctl", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipefd[1]);
  if (rc != 0) {
    close(pipefd[0]);
    return -1;
  }
  std::string text;
  char buf[512];
  for (;;) {
    const ssize_t n = read(pipefd[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (text.size() < 65536) text.append(buf, static_cast<std::size_t>(n));
  }
  close(pipefd[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  if (out) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return !prefix.empty() && text.compare(0, prefix.size(), prefix) == 0;
}

// Unit files an administrator or the user put in place; package-owned units stay.
bool IsLocalUnitFile(const std::string& path) {
  if (path.find("/../") != std::string::npos) return false;
  if (geteuid() == 0) return StartsWith(path, "/etc/systemd/system/");
  std::string config;
  if (const char* xdg = getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') {
    config = xdg;
  } else if (const char* home = getenv("HOME"); home && *home == '/') {
    config = std::string(home) + "/.config";
  } else {
    return false;
  }
  return StartsWith(path, config + "/systemd/user/");
}

class Systemd : public ServiceManager {
 public:
  bool Exists(const std::string& name) override {
    if (!IsValidServiceName(name)) return false;
    std::string state;
    return RunSystemctl({"show", "-p", "LoadState", "--value", "--", name}, &state) == 0 &&
           state == "loaded";
  }
  bool Stop(const std::string& name) override {
    return IsValidServiceName(name) && RunSystemctl({"stop", "--no-block", "--", name}, nullptr) == 0;
  }
  bool QueryState(const std::string& name, std::string* state) override {
    // is-active exits non-zero for every state but "active" and still prints the state.
    if (!IsValidServiceName(name)) return false;
    return RunSystemctl({"is-active", "--", name}, state) >= 0 && !state->empty();
  }
  bool Delete(const std::string& name) override {
    if (!IsValidServiceName(name)) return false;
    std::string fragment;
    RunSystemctl({"show", "-p", "FragmentPath", "--value", "--", name}, &fragment);
    const bool disabled = RunSystemctl({"disable", "--", name}, nullptr) == 0;
    bool removed = false;
    if (IsLocalUnitFile(fragment)) removed = unlink(fragment.c_str()) == 0;
    if (removed) RunSystemctl({"daemon-reload"}, nullptr);
    return disabled || removed;
  }
};
}  // namespace

bool IsValidServiceName(const std::string& name) {
  if (name.empty() || name.size() > 255 || name[0] == '-' || name[0] == '.') return false;
  for (unsigned char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == ':' || c == '_' || c == '.' || c == '@' || c == '-' || c == '\\';
    if (!ok) return false;
  }
  return true;
}

ServiceManager& SystemServices() {
  static Systemd systemd;
  return systemd;
}

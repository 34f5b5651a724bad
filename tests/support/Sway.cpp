#include "tests/support/Sway.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace testsupport {

namespace {

// The desktop's user: any unprivileged one will do, and "nobody" is on every Debian system.
void DesktopUser(uid_t* uid, gid_t* gid) {
  const passwd* pw = getpwnam("nobody");
  *uid = pw ? pw->pw_uid : 65534;
  *gid = pw ? pw->pw_gid : 65534;
}

bool WriteFile(const std::string& path, const std::string& text) {
  std::ofstream f(path);
  f << text;
  return static_cast<bool>(f);
}

std::string Quote(const std::string& s) { return "'" + s + "'"; }

// Processes that carry entry in their environment: everything the session started, whatever
// became of its process group (sway starts some helpers in sessions of their own).
std::vector<pid_t> ProcessesWithEnv(const std::string& entry) {
  std::vector<pid_t> found;
  DIR* d = opendir("/proc");
  if (!d) return found;
  while (dirent* e = readdir(d)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
    if (pid <= 0 || pid == getpid()) continue;
    std::ifstream f(std::string("/proc/") + e->d_name + "/environ", std::ios::binary);
    std::string env((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::size_t at = 0;
    while (at < env.size()) {
      const std::size_t end = env.find('\0', at);
      if (env.compare(at, (end == std::string::npos ? env.size() : end) - at, entry) == 0) {
        found.push_back(pid);
        break;
      }
      if (end == std::string::npos) break;
      at = end + 1;
    }
  }
  closedir(d);
  return found;
}

}  // namespace

SwaySession::SwaySession(const SwayOptions& options) { ok_ = Start(options); }

bool SwaySession::Start(const SwayOptions& options) {
  if (dir_.path().empty()) return false;
  uid_t uid;
  gid_t gid;
  DesktopUser(&uid, &gid);
  // The desktop's user must reach its runtime folder: the test folder is opened for reading,
  // the runtime folder inside it is the user's alone, as XDG wants.
  chmod(dir_.path().c_str(), 0755);
  runtime_ = dir_ / "run";
  if (mkdir(runtime_.c_str(), 0700) != 0 || chown(runtime_.c_str(), uid, gid) != 0) {
    error_ = "cannot make the runtime folder " + runtime_;
    return false;
  }
  std::ostringstream config;
  config << "xwayland disable\n"
         << "output HEADLESS-1 resolution " << options.width << "x" << options.height
         << " position 0 0 bg #000000 solid_color\n"
         << "default_border none\nfocus_follows_mouse no\n";
  if (options.bar) config << "bar {\n  status_command true\n  tray_output *\n}\n";
  const std::string config_file = dir_ / "sway.config";
  // A session bus of the desktop's own, on a socket in its runtime folder; the tests (root)
  // may connect to it too.
  const std::string bus_socket = runtime_ + "/bus";
  const std::string bus_config = dir_ / "bus.conf";
  if (!WriteFile(config_file, config.str()) ||
      !WriteFile(bus_config,
                 "<busconfig><type>session</type><listen>unix:path=" + bus_socket +
                     "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                     "<allow user=\"*\"/><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                     "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n")) {
    error_ = "cannot write the session's configuration";
    return false;
  }
  chmod(config_file.c_str(), 0644);
  chmod(bus_config.c_str(), 0644);
  bus_ = "unix:path=" + bus_socket;

  std::string script = "exec >>\"$XDG_RUNTIME_DIR/session.log\" 2>&1\n";
  if (options.pipewire) script += "pipewire & wireplumber &\n";
  script += "exec sway -c " + Quote(config_file) + "\n";
  const std::vector<std::string> env = {
      "PATH=/usr/local/bin:/usr/bin:/bin", "HOME=" + runtime_, "XDG_RUNTIME_DIR=" + runtime_,
      "XDG_CONFIG_HOME=" + runtime_ + "/config", "XDG_CACHE_HOME=" + runtime_ + "/cache",
      "XDG_DATA_HOME=" + runtime_ + "/data", "WLR_BACKENDS=headless",
      "WLR_LIBINPUT_NO_DEVICES=1", "WLR_RENDERER=pixman", "LANG=C.UTF-8"};
  pid_ = fork();
  if (pid_ == 0) {
    setsid();
    const int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, 0);
    dup2(devnull, 1);
    if (chdir(runtime_.c_str()) != 0 || setgroups(0, nullptr) != 0 || setgid(gid) != 0 ||
        setuid(uid) != 0)
      _exit(126);
    std::vector<char*> envp;
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    const std::string config_arg = "--config-file=" + bus_config;
    const char* argv[] = {"dbus-run-session", config_arg.c_str(), "--", "sh", "-c",
                          script.c_str(), nullptr};
    execvpe(argv[0], const_cast<char**>(argv), envp.data());
    _exit(127);
  }
  if (pid_ < 0) {
    error_ = "fork failed";
    return false;
  }

  // Ready when sway answers on its IPC socket (it makes it after the Wayland socket).
  const bool up = WaitFor([&] {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return true;
    }
    DIR* d = opendir(runtime_.c_str());
    if (!d) return false;
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name.rfind("wayland-", 0) == 0 && name.find('.') == std::string::npos)
        socket_ = runtime_ + "/" + name;
      if (name.rfind("sway-ipc.", 0) == 0) ipc_ = runtime_ + "/" + name;
    }
    closedir(d);
    return !socket_.empty() && !ipc_.empty() && Swaymsg("-t get_outputs") == 0;
  }, std::chrono::seconds(15));
  if (!up || pid_ < 0) {
    std::string log;
    Run("tail -5 " + Quote(runtime_ + "/session.log") + " 2>&1", &log);
    error_ = "sway did not start: " + log;
    return false;
  }
  return true;
}

SwaySession::~SwaySession() {
  Kill();
}

void SwaySession::Kill() {
  const std::string mark = "XDG_RUNTIME_DIR=" + runtime_;
  if (runtime_.empty()) return;
  if (pid_ > 0) kill(-pid_, SIGTERM);
  for (pid_t p : ProcessesWithEnv(mark)) kill(p, SIGTERM);
  const bool ended = pid_ <= 0 || WaitFor([&] { return waitpid(pid_, nullptr, WNOHANG) == pid_; },
                                          std::chrono::seconds(3));
  if (!ended) {
    kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  pid_ = -1;
  // Helpers outside the group (or slow to go) are ended by their own pid.
  WaitFor([&] { return ProcessesWithEnv(mark).empty(); }, std::chrono::seconds(2));
  for (pid_t p : ProcessesWithEnv(mark)) kill(p, SIGKILL);
  ok_ = false;
}

std::vector<std::string> SwaySession::ClientEnv() const {
  return {"XDG_RUNTIME_DIR=" + runtime_, "WAYLAND_DISPLAY=" + socket_, "SWAYSOCK=" + ipc_,
          "DBUS_SESSION_BUS_ADDRESS=" + bus_};
}

std::string SwaySession::ShellEnv() const {
  std::string s;
  for (const auto& e : ClientEnv()) {
    const std::size_t eq = e.find('=');
    s += e.substr(0, eq + 1) + Quote(e.substr(eq + 1)) + " ";
  }
  return s;
}

int SwaySession::Swaymsg(const std::string& args, std::string* out) const {
  return Run("SWAYSOCK=" + Quote(ipc_) + " timeout 10 swaymsg " + args + " 2>&1", out);
}

Screenshot SwaySession::Grim() const {
  Screenshot shot;
  std::string ppm;
  if (Run(ShellEnv() + "timeout 10 grim -t ppm - 2>/dev/null", &ppm) != 0) return shot;
  // "P6\n<width> <height>\n255\n" then the pixels.
  int w = 0, h = 0, max = 0, used = 0;
  if (std::sscanf(ppm.c_str(), "P6 %d %d %d%n", &w, &h, &max, &used) != 3 || max != 255)
    return shot;
  const std::size_t bytes = static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 3;
  if (ppm.size() < static_cast<std::size_t>(used) + 1 + bytes) return shot;
  shot.width = w;
  shot.height = h;
  shot.rgb = ppm.substr(static_cast<std::size_t>(used) + 1, bytes);
  return shot;
}

}  // namespace testsupport

#pragma once
// A private headless Wayland desktop for tests: sway on wlroots' headless backend with the
// pixman renderer (no GPU), its own D-Bus session bus, optionally PipeWire and WirePlumber,
// all run as the unprivileged user "nobody" (sway refuses root) in a runtime folder of its
// own, and ended on destruction. grim takes screenshots of its output.
#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/Display.h"

namespace testsupport {

struct SwayOptions {
  int width = 640, height = 480;
  bool bar = false;       // swaybar with its tray (a StatusNotifierItem host on the bus)
  bool pipewire = false;  // PipeWire and WirePlumber on the session's bus
};

class SwaySession {
 public:
  explicit SwaySession(const SwayOptions& options = {});
  ~SwaySession();
  bool ok() const { return ok_; }
  // Why the start failed, with the end of sway's log.
  const std::string& error() const { return error_; }

  const std::string& runtime_dir() const { return runtime_; }
  // Absolute path of the Wayland socket; libwayland takes it as a display name.
  const std::string& wayland_socket() const { return socket_; }
  const std::string& bus_address() const { return bus_; }
  // XDG_RUNTIME_DIR, WAYLAND_DISPLAY, SWAYSOCK and DBUS_SESSION_BUS_ADDRESS for a client
  // of this desktop.
  std::vector<std::string> ClientEnv() const;
  // The same as "NAME=value NAME=value " for a shell command line.
  std::string ShellEnv() const;

  // Runs swaymsg with args (a shell-quoted tail); its exit code, its output in *out.
  int Swaymsg(const std::string& args, std::string* out = nullptr) const;
  // A shot of the whole output through grim; empty (width 0) when grim fails.
  Screenshot Grim() const;
  // Stops the desktop now, as a crash would (the destructor only cleans up afterwards).
  void Kill();

  SwaySession(const SwaySession&) = delete;
  SwaySession& operator=(const SwaySession&) = delete;

 private:
  bool Start(const SwayOptions& options);

  TempDir dir_;
  std::string runtime_, socket_, ipc_, bus_, error_;
  pid_t pid_ = -1;
  bool ok_ = false;
};

}  // namespace testsupport

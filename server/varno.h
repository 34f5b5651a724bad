#pragma once
// The server's application object: start-up (settings, sending socket, shared state, worker
// threads, hooks, tray monitor) and exit. Main thread only.
#include <cstdint>
#include <memory>

#include "platform/Rect.h"

class Monitor;

constexpr char kDefaultGroup[] = "227.0.1.1";
constexpr int kDefaultPort = 10510;
constexpr int kDefaultRateScreen = 200;
constexpr int kDefaultRatePointer = 50;
constexpr int kDefaultCompressionLevel = 1;
// Network settings. MaxDatagram: bytes of a whole UDP payload; 1472 fills one Ethernet frame
// (1500 - 20 IP - 8 UDP); 576 is the least every IPv4 host takes, 65507 the most UDP carries.
constexpr int kDefaultMaxDatagram = 1472;
constexpr int kMinMaxDatagram = 576;
constexpr int kMaxMaxDatagram = 65507;
constexpr uint32_t kDefaultMaxRate = 50000;     // kbit/s; 0: unpaced
constexpr uint32_t kDefaultRefreshCycle = 10;   // s; 0: off
constexpr char kSettingsSection[] = "Parameters";

// Shortest timer period in force; a stored or older value below it is raised when the timer
// starts, and the settings dialog refuses it.
constexpr int kMinTimerPeriodMs = 10;

// Reads the target from the settings store, replaces it by the first command-line argument
// when one is given, and splits it into g_group and g_port (under g_target_mutex). An
// argument or stored text that is too long or names no IPv4 multicast group is refused with
// a log line: the argument then leaves the stored target, the stored text the default.
void LoadTarget(int argc, char** argv);
// Sets g_clip from the screen's clip box, then the stored Clip*, Rate*, CompressionLevel,
// MaxDatagram, MaxRate and RefreshCycle values where present. A stored broadcast area with no
// pixels is replaced by the clip box, a MaxDatagram outside 576..65507 by 1472 (one log line).
void LoadSettings(const Rect& clip_box);

// The tray tip for the target now in force, "Orvane VARNO [group:port]", cut to 63 bytes.
void FormatTip(char* tip /* 64 bytes */);

class VarnoApp {
 public:
  VarnoApp();
  ~VarnoApp();
  // True: run the event loop; false: end at once (the failure has been shown).
  bool InitInstance(int argc, char** argv);
  // Removes the hooks when the hook thread was started. Result: the process's exit code.
  int ExitInstance(int code);

  Monitor* monitor() const { return monitor_.get(); }
  long hook_thread_id() const { return hook_thread_id_; }

  VarnoApp(const VarnoApp&) = delete;
  VarnoApp& operator=(const VarnoApp&) = delete;

 private:
  bool Fail(const char* condition, int line);

  long hook_thread_id_ = 0;
  bool hook_thread_started_ = false;
  std::unique_ptr<Monitor> monitor_;
};

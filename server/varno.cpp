#include "server/varno.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "Common/Log.h"
#include "Common/MulticastSocket.h"
#include "Common/Registry.h"
#include "Common/Target.h"
#include "hooks/hooks.h"
#include "platform/Region.h"
#include "platform/Screen.h"
#include "platform/Socket.h"
#include "platform/Thread.h"
#include "server/Monitor.h"
#include "server/Rendezvous.h"
#include "server/Sampler.h"
#include "server/Sender.h"
#include "server/ServerKey.h"
#include "server/ServerState.h"
#include "server/Tracker.h"

static const char kModule[] = "server/varno";

namespace {

// Splits text into a target when it is one the server can send to; otherwise says why in the
// log and changes nothing. origin names where the text came from.
bool AcceptTarget(const char* text, const char* origin, char* group, int* port) {
  char candidate[kTextBytes];
  int candidate_port = *port;
  if (!SplitTarget(text, candidate, &candidate_port)) {
    LogLine("%s target ignored: longer than %d characters\n", origin,
            static_cast<int>(kTextBytes) - 1);
    return false;
  }
  if (!IsMulticastGroup(candidate)) {
    LogLine("%s target ignored: \"%s\" is no IPv4 multicast group (224.0.0.0 to "
            "239.255.255.255)\n", origin, candidate);
    return false;
  }
  std::memcpy(group, candidate, kTextBytes);
  if (NamesPortZero(text)) {
    LogLine("%s target %s names port 0, which cannot be sent to; port %d stays\n", origin,
            text, *port);
    return true;
  }
  *port = candidate_port;
  return true;
}

void ReadInt(const char* name, int32_t* value) {
  uint32_t stored = 0;
  if (GetSettingDword(name, &stored, kSettingsSection)) *value = static_cast<int32_t>(stored);
}

void ReadDword(const char* name, uint32_t* value) {
  uint32_t stored = 0;
  if (GetSettingDword(name, &stored, kSettingsSection)) *value = stored;
}

}  // namespace

void LoadTarget(int argc, char** argv) {
  char stored[kRegTextBytes] = "";
  const bool have_stored = GetSettingString("MulticastTarget", stored, kSettingsSection);

  char group[kTextBytes];
  std::snprintf(group, sizeof group, "%s", kDefaultGroup);
  // The port stays the default unless the chosen text names one: an argument without a port
  // does not inherit the stored port, because the stored text is replaced before the split.
  int port = kDefaultPort;
  bool chosen = false;
  if (argc > 1 && argv[1]) chosen = AcceptTarget(argv[1], "Command-line", group, &port);
  if (!chosen && have_stored) AcceptTarget(stored, "Stored", group, &port);

  std::lock_guard<std::mutex> lock(g_target_mutex);
  std::memcpy(g_group, group, kTextBytes);
  g_port = port;
}

void LoadSettings(const Rect& clip_box) {
  g_clip = ClipRect{clip_box.left, clip_box.top, clip_box.right, clip_box.bottom};
  ReadInt("ClipLeft", &g_clip.left);
  ReadInt("ClipRight", &g_clip.right);
  ReadInt("ClipTop", &g_clip.top);
  ReadInt("ClipBottom", &g_clip.bottom);
  ReadInt("RatePointer", &g_rate_pointer);
  ReadInt("RateScreen", &g_rate_screen);
  ReadInt("CompressionLevel", &g_compression_level);
  uint32_t max_datagram = kDefaultMaxDatagram;
  ReadDword("MaxDatagram", &max_datagram);
  ReadDword("MaxRate", &g_max_rate);
  ReadDword("RefreshCycle", &g_refresh_cycle);

  // An empty broadcast area would make every full refresh send nothing at all.
  if (g_clip.right <= g_clip.left || g_clip.bottom <= g_clip.top) {
    LogLine("Stored broadcast area (%d, %d, %d, %d) is empty; using the screen (%d, %d, %d, "
            "%d)\n", g_clip.left, g_clip.top, g_clip.right, g_clip.bottom, clip_box.left,
            clip_box.top, clip_box.right, clip_box.bottom);
    g_clip = ClipRect{clip_box.left, clip_box.top, clip_box.right, clip_box.bottom};
  }
  if (g_rate_screen < kMinTimerPeriodMs)
    LogLine("Stored RateScreen %d ms is below %d ms; the timer runs at %d ms\n", g_rate_screen,
            kMinTimerPeriodMs, kMinTimerPeriodMs);
  if (g_rate_pointer < kMinTimerPeriodMs)
    LogLine("Stored RatePointer %d ms is below %d ms; the timer runs at %d ms\n",
            g_rate_pointer, kMinTimerPeriodMs, kMinTimerPeriodMs);
  g_max_datagram = kDefaultMaxDatagram;
  if (max_datagram >= kMinMaxDatagram && max_datagram <= kMaxMaxDatagram)
    g_max_datagram = static_cast<int>(max_datagram);
  else
    LogLine("Stored MaxDatagram %u is outside %d to %d bytes; %d bytes are used\n", max_datagram,
            kMinMaxDatagram, kMaxMaxDatagram, kDefaultMaxDatagram);
  if (g_compression_level < -1 || g_compression_level > 9)
    LogLine("Stored CompressionLevel %d is outside 0 to 9; level %d is used\n",
            g_compression_level, kDefaultCompressionLevel);
}

void FormatTip(char* tip) {
  char full[kTextBytes + 32];
  std::snprintf(full, sizeof full, "%s [%s:%d]", "Orvane VARNO", g_group, g_port);
  // The tip field holds 63 characters and the terminator.
  std::snprintf(tip, 64, "%.63s", full);
}

VarnoApp::VarnoApp() = default;
VarnoApp::~VarnoApp() = default;

bool VarnoApp::Fail(const char* condition, int line) {
  // Logged as well as shown: the server usually starts unattended, and the box is gone once
  // it has been answered.
  ReportCheckFailure(condition, kModule, line);
  ConditionBox(condition, kModule, line);
  return false;
}

bool VarnoApp::InitInstance(int argc, char** argv) {
  // 1. Socket layer; a failure here is logged only.
  int res = SocketStartup();
  if (res) {
    ReportCheckFailure("!res", kModule, 215);
    return false;
  }

  // 2.-4. Target.
  LoadTarget(argc, argv);

  // 5. Dirty region, created before anything that could add to it.
  g_dirty_region = new (std::nothrow) Region();

  // 6. Screen, opened before the application object by main().
  ScreenSource* desktop = ServerScreen();
  if (!desktop) return Fail("desktop", 233);

  // 7. Broadcast area, rates and level.
  LoadSettings(desktop->ClipBox());

  // 8. Sending socket.
  g_multicast_sock = OpenMulticastSender(g_port, "");
  if (g_multicast_sock == INVALID_SOCKET) return Fail("g_multicast_sock != -1", 250);

  // 9. The region's lock; the region itself is useless without it, so both are checked here.
  g_mutex = new (std::nothrow) std::mutex();
  if (!g_mutex || !g_dirty_region) return Fail("g_mutex", 253);

  // 10., 11. Worker threads, created before step 12 so that the rendezvous thread and the
  // sender inherit the normal priority: pacing keeps its timing while the screen is busy.
  long rendezvous_tid = 0;
  if (!StartThread(RendezvousThread, nullptr, &rendezvous_tid)) return Fail("thread", 257);
  if (!StartThread(HookThread, nullptr, &hook_thread_id_)) return Fail("thread", 260);
  hook_thread_started_ = true;
  if (!StartServerSender()) return Fail("thread", 262);
  ApplySendSettings();
  // Before the first datagram: with a stored key nothing may leave unsigned.
  if (!UseStoredStreamKey()) return Fail("UseStoredStreamKey()", __LINE__);

  // 12. Capturing and change tracking yield to the user's own programs.
  SetThreadPriorityOffset(hook_thread_id_, +5);
  SetThreadPriorityOffset(CurrentThreadId(), +5);
  // The compression workers inherit the lowered priority: they do what this thread did.
  SamplerPool();

  // 13. Hooks report to the hook thread; a Wayland screen reports its own changes.
  int b = 1;
  if (desktop->ReportsChanges()) StartScreenTracking();
  else b = WM_Hooks_Install(hook_thread_id_, 0);
  if (!b) return Fail("b", 266);

  // 14. Tray icon and timers.
  monitor_ = std::make_unique<Monitor>();
  b = monitor_->Create();
  if (!b) {
    monitor_.reset();
    return Fail("b", 269);
  }

  // 15. The event loop runs next.
  LogLine("Server started, sending to %s:%d\n", g_group, g_port);
  return true;
}

int VarnoApp::ExitInstance(int code) {
  if (hook_thread_started_) WM_Hooks_Remove(hook_thread_id_);
  monitor_.reset();
  return code;
}

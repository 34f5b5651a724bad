// The viewer: start-up and the connection dialog, the receive thread, and program exit.
#include "glimt/glimt.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QIcon>
#include <QImage>
#include <QScreen>
#include <QSocketNotifier>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "Common/Log.h"
#include "Common/MulticastSocket.h"
#include "Common/Registry.h"
#include "glimt/ConnectionDialog.h"
#include "glimt/Rendezvous.h"
#include "glimt/StreamGate.h"
#include "glimt/ViewerWindow.h"
#include "glimt/WindowSystem.h"
#include "platform/LastError.h"
#include "platform/PointerWarp.h"
#include "platform/Session.h"
#include "platform/Socket.h"

static const char kModule[] = "glimt/glimt";

char g_group[kTextBytes] = "227.0.1.1";
int g_port = 10510;
char g_server[kTextBytes] = "";
int g_fullscreen = 0;

std::atomic<int> g_ready{0};
AreaRect g_area;
QImage* g_picture = nullptr;
BlockQueue* g_blocks = new BlockQueue;
ViewerWindow* g_wnd = nullptr;
DisplayFormat g_display;
static bool g_have_display = false;
static WindowSystemRules g_rules;  // set before the receive thread starts

namespace {
// "go" requests leave from a thread of their own: ConnectTo may take 21 s.
RefreshRequester* g_refresh = new RefreshRequester([] { SendRefreshRequest(g_server); });
}  // namespace

void RequestRefresh() {
  if (g_server[0]) g_refresh->Ask();
}

namespace {

// Asked of the kernel for the socket: a burst of a full refresh at 1472-byte datagrams (about
// 4,000 of them, booked at roughly twice their size) while the window thread paints.
constexpr int kReceiveSocketBytes = 16 << 20;

// What start-up and exit share with the receive thread. Heap-allocated and left alive when
// the thread does not end in time, since it may still touch it.
struct ReceiveControl {
  int sock = INVALID_SOCKET;
  int wake = -1;  // eventfd: written once at exit
  std::mutex mutex;
  std::condition_variable ended_cv;
  bool ended = false;
};
ReceiveControl* g_receive = new ReceiveControl;
// The stream key's check, made at start-up before the receive thread; never destroyed.
StreamGate* g_gate = nullptr;

// What the receive thread keeps from one datagram to the next.
struct ReceiveState {
  std::unique_ptr<PointerWarp> warp;  // none where the pointer cannot be moved (Wayland)
  uint32_t socket_drops = 0;  // the kernel's count as last seen
  uint64_t datagrams = 0;
  uint64_t lost_in_queue = 0, lost_in_socket = 0;
  bool losing = false;
};

// Waits for a datagram or the exit signal; false at exit.
bool WaitForDatagram(ReceiveControl& rc) {
  pollfd fds[2] = {{rc.sock, POLLIN, 0}, {rc.wake, POLLIN, 0}};
  for (;;) {
    const int n = poll(fds, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (g_wnd->state().stopping || (fds[1].revents & POLLIN)) return false;
    return true;  // a datagram, or an error that the receive itself reports
  }
}

// The first usable UPDATE_AREA: the picture, then the window's placement. False ends the
// thread.
bool HandleArea(const UpdateHeader& h) {
  Trace("init\n");
  g_wnd->AreaAnnounced();
  if (g_ready.load(std::memory_order_acquire)) return true;
  const AreaRect area{h.left, h.top, h.right, h.bottom};
  if (!IsUsableArea(area)) return true;  // wait for a good one
  if (!g_have_display) {
    ConditionBox("desktop", kModule, 79);
    return false;
  }
  auto* picture = new QImage(area.right - area.left, area.bottom - area.top,
                             PictureFormat(g_display));
  if (picture->isNull()) {
    delete picture;
    ConditionBox("b", kModule, 85);
    return false;
  }
  picture->fill(0);
  g_area = area;
  g_picture = picture;
  g_ready.store(1, std::memory_order_release);
  const AreaRect desktop{0, 0, g_display.width, g_display.height};
  g_wnd->PlaceFromReceiveThread(area, desktop);
  return true;
}

void HandlePointer(const UpdateHeader& h, PointerWarp* warp) {
  if (!g_ready.load(std::memory_order_acquire)) return;
  if (!warp) {
    g_wnd->PointerFromReceiveThread(h.left, h.top);
    return;
  }
  const WindowState& s = g_wnd->state();
  int32_t x = 0, y = 0;
  ScalePoint(g_area, s.client_width, s.client_height, h.left, h.top, &x, &y);
  const int64_t sx = int64_t{x} + s.origin_x, sy = int64_t{y} + s.origin_y;
  warp->MoveTo(static_cast<int>(std::clamp<int64_t>(sx, INT32_MIN, INT32_MAX)),
               static_cast<int>(std::clamp<int64_t>(sy, INT32_MIN, INT32_MAX)));
}

// Queues a copy of the block, as long as the header says (bytes after it are not the
// block's). Returns the number of blocks the queue dropped for it.
int HandleBlock(const UpdateHeader& h, const uint8_t* data) {
  if (!g_ready.load(std::memory_order_acquire)) return 0;
  const std::size_t size = kUpdateHeaderBytes + h.length;
  auto* copy = new uint8_t[size];
  std::memcpy(copy, data, size);
  const int lost = g_blocks->Append(copy, size);
  const WindowState& s = g_wnd->state();
  const AreaRect r{h.left, h.top, h.right, h.bottom};
  g_wnd->InvalidateFromReceiveThread(
      InvalidationRect(g_area, s.client_width, s.client_height, r));
  return lost;
}

// Blocks lost in the queue, the socket or the network are missing from the picture until the
// server sends their area again: ask for a refresh (rate-limited). What the stream lost is
// the gate's to say: with a stream key the gaps in the sequence numbers (the socket's drops
// among them, counted once), without one the socket's drops. The queue and the socket say so
// in the log once per burst.
void NoteLosses(ReceiveState& st, uint64_t in_queue, uint64_t in_socket) {
  if ((in_queue != 0 || g_gate->NewLoss(in_socket) != 0) && g_server[0])
    g_refresh->AskAfterLoss();
  if (in_queue == 0 && in_socket == 0) {
    if (st.losing)
      LogLine("Viewer caught up: %llu blocks dropped by its queue, %llu datagrams by the "
              "socket so far\n", static_cast<unsigned long long>(st.lost_in_queue),
              static_cast<unsigned long long>(st.lost_in_socket));
    st.losing = false;
    return;
  }
  st.lost_in_queue += in_queue;
  st.lost_in_socket += in_socket;
  if (!st.losing) LogLine("Viewer falls behind: dropping blocks until it catches up\n");
  st.losing = true;
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Every step that judges and uses one received datagram (n bytes, in the thread's own
// buffer, from source): a check that must pass before a datagram is used goes here. Empty,
// short and malformed datagrams are dropped: a stray packet on the port must not end the
// stream. False ends the thread.
bool HandleDatagram(ReceiveState& st, const uint8_t* data, std::size_t n,
                    uint64_t socket_drops, const DatagramSource& source) {
  ++st.datagrams;
  // The stream key before the window's state: a minimised viewer still follows the sequence
  // numbers, so that what it dropped on purpose is not counted as lost.
  const StreamGate::Admission admitted = g_gate->Admit(data, n, NowMs());
  if (admitted.drop_line) {
    char from[32];
    FormatDatagramSource(source, from, sizeof from);
    LogLine("%s (the first from %s)\n", admitted.drop_line, from);
  }
  int lost = 0;
  bool go_on = true;
  UpdateHeader h;
  if (admitted.use && g_wnd->state().AcceptsDatagrams() &&
      CheckDatagram(data, admitted.length, h) == DatagramCheck::kUse) {
    if (h.kind == UPDATE_AREA) go_on = HandleArea(h);
    else if (h.kind == UPDATE_POINTER) HandlePointer(h, st.warp.get());
    else lost = HandleBlock(h, data);
  }
  NoteLosses(st, static_cast<uint64_t>(lost), socket_drops);
  return go_on;
}

void RaiseOwnPriority() {
  const id_t tid = static_cast<id_t>(gettid());
  errno = 0;
  const int nice_now = getpriority(PRIO_PROCESS, tid);
  if (errno == 0) setpriority(PRIO_PROCESS, tid, std::max(-20, nice_now - 5));  // may be refused
}

// A picture that can never come, with no window on the screen yet, would leave a process
// the user cannot see or close: after the report the viewer ends.
void EndWithoutPicture() {
  if (g_wnd->state().placed || g_wnd->state().stopping) return;
  QMetaObject::invokeMethod(qApp, [] { QCoreApplication::exit(1); }, Qt::QueuedConnection);
}

// Reads what the socket holds, then waits; returns at exit, on a failed receive or when a
// datagram ends the thread.
void ReceiveLoop(ReceiveControl& rc, ReceiveState& st) {
  const std::unique_ptr<uint8_t[]> buffer(new uint8_t[kReceiveBufferBytes]);
  for (;;) {
    uint32_t drops = st.socket_drops;
    DatagramSource from;
    const long n = ReceiveDatagram(rc.sock, buffer.get(), kReceiveBufferBytes, &drops, &from);
    if (n < 0 && (GetLastError() == EAGAIN || GetLastError() == EWOULDBLOCK)) {
      // Drops at the end of a burst come with no datagram: read the count before waiting.
      const long now = ReceiveDrops(rc.sock);
      if (now >= 0 && static_cast<uint32_t>(now) != st.socket_drops) {
        NoteLosses(st, 0, static_cast<uint32_t>(now) - st.socket_drops);
        st.socket_drops = static_cast<uint32_t>(now);
      }
      if (!WaitForDatagram(rc)) return;
      continue;
    }
    if (n < 0) {
      ReportError("recv");
      return;
    }
    if (g_wnd->state().stopping) return;
    const uint32_t new_drops = drops - st.socket_drops;  // the kernel's count wraps at 2^32
    st.socket_drops = drops;
    if (!HandleDatagram(st, buffer.get(), static_cast<std::size_t>(n), new_drops, from)) {
      EndWithoutPicture();
      return;
    }
  }
}

void ReceiveThread(ReceiveControl* rc) {
  pthread_setname_np(pthread_self(), "glimt-receive");
  RaiseOwnPriority();
  ReceiveState st;
  if (g_rules.warps_pointer) st.warp = std::make_unique<PointerWarp>();
  rc->sock = OpenMulticastReceiver(g_group, g_port);
  if (rc->sock == INVALID_SOCKET) {
    ConditionBox("sock != -1", kModule, 38);
    EndWithoutPicture();
  } else {
    SetReceiveBuffer(rc->sock, kReceiveSocketBytes);
    CountReceiveDrops(rc->sock);
    // Joined first, so that the refresh this asks for is not missed.
    RequestRefresh();
    ReceiveLoop(*rc, st);
    LogLine("Viewer received %llu datagrams; %llu blocks dropped by its queue, %llu datagrams "
            "by the socket\n", static_cast<unsigned long long>(st.datagrams),
            static_cast<unsigned long long>(st.lost_in_queue),
            static_cast<unsigned long long>(st.lost_in_socket));
    if (g_gate->keyed())
      LogLine("Stream key: %llu datagrams of the stream never arrived, %llu refused\n",
              static_cast<unsigned long long>(g_gate->lost()),
              static_cast<unsigned long long>(g_gate->refused()));
  }
  std::lock_guard<std::mutex> hold(rc->mutex);
  rc->ended = true;
  rc->ended_cv.notify_all();
}

// Ends the receive thread at exit: wake it, wait at most a second, close its socket.
bool StopReceiveThread() {
  g_wnd->Stop();
  const uint64_t one = 1;
  if (write(g_receive->wake, &one, sizeof one) < 0) {}
  std::unique_lock<std::mutex> wait(g_receive->mutex);
  if (!g_receive->ended_cv.wait_for(wait, std::chrono::seconds(1),
                                    [] { return g_receive->ended; }))
    return false;  // still inside a call (a box, a refresh request): leave its objects alive
  wait.unlock();
  if (g_receive->sock != INVALID_SOCKET) CloseSocket(g_receive->sock);
  close(g_receive->wake);
  delete g_blocks;
  g_blocks = nullptr;
  delete g_picture;
  g_picture = nullptr;
  delete g_receive;
  g_receive = nullptr;
  return true;
}

// SIGTERM and SIGINT end the viewer as closing its window does: the handler only writes to
// a pipe, the window thread closes the window.
int g_signal_pipe[2] = {-1, -1};
void OnTerminate(int) {
  const char c = 1;
  if (write(g_signal_pipe[1], &c, 1) < 0) {}
}
void CatchTerminate(QObject* parent) {
  if (pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  auto* notifier = new QSocketNotifier(g_signal_pipe[0], QSocketNotifier::Read, parent);
  QObject::connect(notifier, &QSocketNotifier::activated, [] {
    if (g_wnd) g_wnd->close();
    else QCoreApplication::quit();
  });
  struct sigaction sa {};
  sa.sa_handler = OnTerminate;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
}

void PrintUsage() {
  std::printf(
      "Usage: glimt [TARGET [fullscreen]]\n"
      "Shows the desktop that an Orvane VARNO server broadcasts over IP multicast.\n\n"
      "  TARGET       a multicast group beginning with \"227.\", optionally :PORT\n"
      "               (default port 10510), or the host name or address of the server,\n"
      "               which is asked for its group on TCP port 10510\n"
      "  fullscreen   any second argument: show the picture full screen, on top\n\n"
      "Without a server host on the command line the connection dialog is shown.\n"
      "Escape leaves the full-screen view; closing the window ends the viewer.\n\n"
      "  --help       show this text and exit\n"
      "  --version    show the version and exit\n");
  std::printf("\n");
  std::printf(kLogPlacesHelp, "glimt");
}

// Step 3: the command line. False ends start-up.
bool ReadCommandLine(int argc, char** argv) {
  if (argc > 1) {
    if (std::strlen(argv[1]) >= kTextBytes) {
      std::fprintf(stderr, "glimt: the target is longer than %zu characters; ignored\n",
                   kTextBytes - 1);
    } else if (std::strncmp(argv[1], "227.", 4) == 0) {
      std::strcpy(g_group, argv[1]);
    } else {
      std::strcpy(g_server, argv[1]);
      if (!RendezvousExchange(g_server, g_group)) {
        ConditionBox("client != SOCKET_ERROR", kModule, 184);
        return false;
      }
    }
  }
  if (argc > 2) g_fullscreen = 1;
  return true;
}

// Step 4: the dialog loop, while no server is known. False when it was cancelled.
bool RunDialogLoop() {
  while (!g_server[0]) {
    ConnectionDialog dialog;
    if (dialog.exec() != QDialog::Accepted) return false;
    g_fullscreen = dialog.fullscreen ? 1 : 0;
    const QByteArray server = dialog.server.toUtf8();
    const QByteArray address = dialog.address.toUtf8();
    if (dialog.type == 0) {
      char group[kTextBytes];
      std::strcpy(g_server, server.constData());  // lengths checked by the dialog
      if (RendezvousExchange(g_server, group)) std::strcpy(g_group, group);
    } else if (dialog.type == 1) {
      std::strcpy(g_group, address.constData());
      break;
    }
  }
  return true;
}

// Which window system the viewer runs on, named for Qt, and whether its display answers
// (g_have_display). On X11 g_display is read here.
bool ProbeDisplay(DisplayProbe& probe, bool* wayland) {
  bool probed = false;
  *wayland = RunsOnWayland(std::getenv("QT_QPA_PLATFORM"), [&] {
    return InWaylandSession([&] {
      probed = true;
      return g_have_display = probe.Query(&g_display);
    });
  });
  // Named unless the user named one: left alone Qt takes XWayland on GNOME and X11 wherever
  // XDG_SESSION_TYPE is unset, whatever was probed here.
  const char* named = std::getenv("QT_QPA_PLATFORM");
  if (!named || !*named) setenv("QT_QPA_PLATFORM", *wayland ? "wayland" : "xcb", 1);
  if (*wayland) g_have_display = WaylandCompositorReachable();
  else if (!probed) g_have_display = probe.Query(&g_display);
  return g_have_display;
}

// On Wayland the desktop is the toolkit's first screen, in surface pixels. False (reported)
// when the compositor has no output.
bool ReadWaylandOutput() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  const QSize size = screen ? screen->geometry().size() : QSize();
  if (size.isEmpty()) {
    ReportCheckFailure("desktop", kModule, 79);
    std::fprintf(stderr, "glimt: the Wayland compositor has no output\n");
    return false;
  }
  g_display = WaylandDisplayFormat(size.width(), size.height());
  if (!g_rules.warps_pointer)
    LogLine("Viewer on Wayland (%dx%d): the server's pointer is drawn into the picture\n",
            size.width(), size.height());
  return true;
}

// The stream key from the settings (the dialog stored it just now, or a host on the command
// line skipped the dialog), derived once before the receive thread starts. False (reported)
// when a stored key cannot be derived: showing the stream unchecked instead is what the key
// is there to prevent.
bool LoadStreamKey() {
  char text[kRegTextBytes] = "";
  GetSettingString("StreamKey", text, "Parameters");
  const std::size_t bytes = std::strlen(text);
  StreamKey key;
  const bool derived = bytes == 0 || key.Derive(text, bytes);
  explicit_bzero(text, sizeof text);
  if (!derived) {
    // Logged as well as shown: the box is gone once answered, and the reason matters.
    const int line = __LINE__;
    ReportCheckFailure("key.Derive(text, bytes)", kModule, line);
    ConditionBox("key.Derive(text, bytes)", kModule, line);
    return false;
  }
  if (key.valid()) LogLine("Stream key in use: only datagrams signed with it are shown\n");
  g_gate = new StreamGate(std::move(key));
  return true;
}

bool Startup(int argc, char** argv) {
  if (SocketStartup() != 0) {
    ReportCheckFailure("!res", kModule, 174);
    return false;
  }
  if (!ReadCommandLine(argc, argv) || !RunDialogLoop()) return false;

  char group[kTextBytes];
  if (SplitTarget(g_group, group, &g_port)) std::strcpy(g_group, group);
  if (!LoadStreamKey()) return false;

  // The window exists, unmapped, before the thread asks for a refresh, so the answering
  // UPDATE_AREA is not dropped.
  g_wnd = new ViewerWindow;
  if (!g_wnd->Create(g_fullscreen != 0, g_rules)) {
    ConditionBox("b", kModule, __LINE__);
    return false;
  }
  g_wnd->SetScaleQuality(ReadScaleQuality());
  g_receive->wake = eventfd(0, EFD_CLOEXEC);
  if (!g_refresh->Start()) {
    ConditionBox("thread", kModule, __LINE__);
    return false;
  }
  try {
    std::thread(ReceiveThread, g_receive).detach();
  } catch (const std::system_error&) {
    ConditionBox("thread", kModule, 233);
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  if (argc > 1 && std::strcmp(argv[1], "--help") == 0) {
    PrintUsage();
    return 0;
  }
  if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("glimt (Orvane GLIMT) %s\n", ORVANE_VERSION);
    return 0;
  }
  // Before the QApplication: without a display Qt would end the process itself.
  DisplayProbe probe;
  bool wayland = false;
  if (!ProbeDisplay(probe, &wayland)) {
    ReportCheckFailure("desktop", kModule, 79);
    std::fprintf(stderr, wayland ? "glimt: cannot connect to the Wayland compositor\n"
                                 : "glimt: cannot open the X display\n");
    return 1;
  }
  if (!wayland && g_display.bits_per_pixel == 8) {
    // Qt 6's X11 back end has no image format for 8-bit visuals: nothing can be painted, and
    // the first line edit drawn on one crashes inside the toolkit. Say so and end instead.
    LogLine("The display uses 8-bit colour, which the toolkit cannot paint on\n");
    std::fprintf(stderr,
                 "glimt: the display uses 8-bit colour, which the toolkit cannot paint on; "
                 "run it at 16 or 24 bits\n");
    return 1;
  }
  QApplication app(argc, argv);
  probe.Close();
  g_rules = RulesFor(QGuiApplication::platformName().toUtf8().constData());
  if (wayland && !ReadWaylandOutput()) return 1;
  QApplication::setQuitOnLastWindowClosed(false);
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/glimt-32.xpm")));
  if (!Startup(argc, argv)) return 1;
  CatchTerminate(&app);
  const int rc = app.exec();
  const bool receive_ended = StopReceiveThread();
  const bool requesting = g_refresh->Stop();
  if (!receive_ended || requesting) {
    // A thread still inside a call (a box, a connection) would run on into the toolkit and
    // the libraries while they are torn down: end here instead, without the teardown.
    LogLine("Viewer ends without waiting for its %s thread\n",
            receive_ended ? "refresh request" : "receive");
    _exit(rc);
  }
  delete g_wnd;
  g_wnd = nullptr;
  return rc;
}

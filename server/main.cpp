// Entry point of varno: options, the display, the application object and its event loop.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

#include <QApplication>
#include <QSocketNotifier>

#include "Common/Registry.h"
#include "platform/Screen.h"
#include "server/Monitor.h"
#include "server/Tracker.h"
#include "server/varno.h"

namespace {

const char kUsage[] =
    "Usage: varno [GROUP[:PORT]]\n"
    "Shows this desktop live to glimt viewers over IP multicast. The server runs with an\n"
    "icon in the system tray; its menu opens the settings or ends the server.\n"
    "\n"
    "  GROUP[:PORT]  send to this IPv4 multicast group and port for this run only\n"
    "                (default: the stored MulticastTarget, else 227.0.1.1:10510)\n"
    "  --help        show this text and exit\n"
    "  --version     show the version and exit\n";

#ifndef VARNO_VERSION
#define VARNO_VERSION "1.0.0"
#endif

int g_signal_pipe[2] = {-1, -1};

void OnTerminate(int) {
  const int saved = errno;
  const char byte = 1;
  (void)!write(g_signal_pipe[1], &byte, 1);
  errno = saved;
}

// SIGTERM (logout, kill) and SIGINT end the server like the tray's Exit, so that the icon
// goes and the hooks are removed. Installed only once start-up has succeeded: until then the
// default action ends a server that may still be waiting for a tray.
void EndOnSignals(QApplication* app, Monitor* monitor) {
  if (pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  auto* notifier = new QSocketNotifier(g_signal_pipe[0], QSocketNotifier::Read, app);
  QObject::connect(notifier, &QSocketNotifier::activated, monitor, [monitor] {
    char buffer[16];
    while (read(g_signal_pipe[0], buffer, sizeof buffer) > 0) {
    }
    monitor->Exit();
  });
  struct sigaction action {};
  action.sa_handler = OnTerminate;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);

  // A target never begins with "--", so these take nothing from a valid call.
  if (argc > 1 && std::strncmp(argv[1], "--", 2) == 0) {
    if (std::strcmp(argv[1], "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
      std::printf("varno (Orvane VARNO) %s\n", VARNO_VERSION);
      return 0;
    }
    std::fprintf(stderr, "varno: unknown option %s\n%s", argv[1], kUsage);
    return 2;
  }

  // The display is opened before the application object: without one, Qt would end the
  // process before start-up could report it.
  // ScreenSource: "x11", "screencopy", "portal", or empty for the session's own kind.
  char screen_choice[kRegTextBytes] = "";
  GetSettingString("ScreenSource", screen_choice, kSettingsSection);
  std::unique_ptr<QApplication> app;
  if (OpenServerScreen(screen_choice, TrackerSink())) {
    app = std::make_unique<QApplication>(argc, argv);
    QApplication::setApplicationName(QStringLiteral("varno"));
    QApplication::setApplicationVersion(QStringLiteral(VARNO_VERSION));
    // The tray icon, not a window, keeps the server alive; closing the dialog must not end it.
    QApplication::setQuitOnLastWindowClosed(false);
  }

  VarnoApp the_app;
  if (!the_app.InitInstance(argc, argv)) return the_app.ExitInstance(1);
  EndOnSignals(app.get(), the_app.monitor());
  return the_app.ExitInstance(app->exec());
}

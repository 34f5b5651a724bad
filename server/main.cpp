// Entry point of varno: options, the display, the application object and its event loop.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

#include <QApplication>

#include "platform/Screen.h"
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
  std::unique_ptr<QApplication> app;
  if (OpenServerScreen()) {
    app = std::make_unique<QApplication>(argc, argv);
    QApplication::setApplicationName(QStringLiteral("varno"));
    QApplication::setApplicationVersion(QStringLiteral(VARNO_VERSION));
    // The tray icon, not a window, keeps the server alive; closing the dialog must not end it.
    QApplication::setQuitOnLastWindowClosed(false);
  }

  VarnoApp the_app;
  if (!the_app.InitInstance(argc, argv)) return the_app.ExitInstance(1);
  return the_app.ExitInstance(app->exec());
}

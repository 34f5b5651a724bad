// Setup: installs the system from its package folder, or, started as Uninstall (or with one
// argument), removes it by replaying the uninstall log beside it.
#include <signal.h>

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Common/Log.h"
#include "platform/ExePath.h"
#include "platform/ViewerDisplay.h"
#include "setup/Pages.h"
#include "setup/RemoveApp.h"
#include "setup/SetupApp.h"
#include "setup/SetupState.h"

namespace {
const char kModule[] = "setup/setup";

const char kUsage[] =
    "Usage: Setup\n"
    "Installs Orvane VARNO from the folder this program lies in, page by page.\n"
    "Started as Uninstall (or with one argument other than --help) it removes the\n"
    "installation that the Uninstall.log beside it names.\n"
    "\n"
    "  --help  show this text and exit\n"
    "\n";

int StartSetup(int argument_count) {
  SetFatalErrorHook(&SaveWorkOnFatalError);
  const std::string& exe = ExecutablePath();
  if (!InitSetupFolders(exe)) return 0;
  QtSetupUi ui;
  if (IsUninstallMode(exe, argument_count)) {
    RunUninstall(ui);
  } else {
    RunSetupWizard(ui);
  }
  return 0;
}

// Qt takes X11 unless told otherwise (QT_QPA_PLATFORM) or in a Wayland session, where it
// takes Wayland; only for X11 is the display probed here.
bool QtUsesX11() {
  const char* platform = getenv("QT_QPA_PLATFORM");
  if (platform && *platform) return std::strncmp(platform, "xcb", 3) == 0;
  const char* session = getenv("XDG_SESSION_TYPE");
  const char* wayland = getenv("WAYLAND_DISPLAY");
  return !(session && std::strcmp(session, "wayland") == 0 && wayland && *wayland);
}
}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::printf("%s", kUsage);
    std::printf(kLogPlacesHelp, "Setup");
    return 0;
  }
  // Only the number of arguments counts, taken before Qt removes its own options.
  const int argument_count = argc - 1;
  // Before the QApplication: Qt would end the process itself (SIGABRT) on a display it cannot
  // reach. The probe's connection stays open until Qt has its own, so that an X server with
  // no client left does not reset under it.
  DisplayProbe probe;
  DisplayFormat format;
  if (QtUsesX11() && !probe.Query(&format)) {
    const int line = __LINE__ - 1;
    ReportCheckFailure("desktop", kModule, line);
    ConditionBox("desktop", kModule, line);
    return 1;
  }
  QApplication app(argc, argv);
  probe.Close();
  app.setWindowIcon(SetupIcon());
  return StartSetup(argument_count);
}

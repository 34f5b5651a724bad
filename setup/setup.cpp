// Setup: installs the system from its package folder, or, started as Uninstall (or with one
// argument), removes it by replaying the uninstall log beside it.
#include <signal.h>

#include <QApplication>
#include <cstdlib>
#include <cstdio>

#include "Common/Log.h"
#include "platform/ExePath.h"
#include "setup/Pages.h"
#include "setup/RemoveApp.h"
#include "setup/SetupApp.h"
#include "setup/SetupState.h"

namespace {
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
}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  // Only the number of arguments counts, taken before Qt removes its own options.
  const int argument_count = argc - 1;
  const char* platform = getenv("QT_QPA_PLATFORM");
  if ((!platform || !*platform) && !getenv("DISPLAY") && !getenv("WAYLAND_DISPLAY")) {
    std::fprintf(stderr, "Setup: no display to show its pages on (DISPLAY is not set)\n");
    return 1;
  }
  QApplication app(argc, argv);
  app.setWindowIcon(SetupIcon());
  return StartSetup(argument_count);
}

// Setup: installs the system from its package folder, or, started as Uninstall (or with one
// argument), removes it by replaying the uninstall log beside it.
#include <signal.h>

#include <QApplication>
#include <cstdlib>
#include <cstdio>

#include "Common/Log.h"
#include "platform/ExePath.h"
#include "platform/FileReplace.h"
#include "platform/LastError.h"
#include "setup/Pages.h"
#include "setup/RemoveApp.h"
#include "setup/SetupApp.h"
#include "setup/SetupState.h"

namespace {
// Before FatalError's box: a partly written file goes, the records of what was done stay.
void SaveWorkDone() {
  LastErrorKeeper keep;  // the box shows the cause of the failure, not of this cleanup
  AbortOpenReplacements();
  g_log.Flush();
}

int StartSetup(int argument_count) {
  SetFatalErrorHook(&SaveWorkDone);
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

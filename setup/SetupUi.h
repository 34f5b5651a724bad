#pragma once
// What the install and uninstall runs need from the user interface: the pages (modal, true for
// Yes / Next >> / Finish / Remove), the two progress windows, the warning box and the waits.
// The Qt pages implement it; tests drive the runs through a scripted fake.
#include <string>

#include "setup/Install.h"

class SetupUi {
 public:
  virtual ~SetupUi() = default;
  virtual bool LicensePage() = 0;
  virtual bool FolderPage(SetupOptions& options) = 0;
  virtual bool ComponentsPage(SetupOptions& options) = 0;
  virtual bool MulticastPage(SetupOptions& options) = 0;
  virtual bool FinishPage() = 0;
  virtual bool RemovePage() = 0;
  // The copy progress window, or nullptr when it cannot be created. Owned by the UI.
  virtual CopyProgress* CreateCopyProgress() = 0;
  virtual void DestroyCopyProgress() = 0;
  // The remove progress window with its variable line; false when it cannot be created.
  virtual bool CreateRemoveProgress(const std::string& line) = 0;
  virtual void DestroyRemoveProgress() = 0;
  // A box with an OK button and the exclamation icon, captioned with the program's name.
  virtual void ShowWarning(const std::string& text) = 0;
  // Blocks the run for ms milliseconds; windows on screen still repaint.
  virtual void Wait(int ms) = 0;
};

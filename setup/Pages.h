#pragma once
// The installer's pages and progress windows on Qt, built from the .ui files: modal pages one
// after the other, modeless progress windows repainted after each update while the run goes
// on without a message loop of its own. Main thread.
#include <QDialog>
#include <memory>

#include "setup/SetupUi.h"

namespace Ui {
class LicensePage;
class FolderPage;
class ComponentsPage;
class MulticastPage;
class FinishPage;
class RemovePage;
class CopyProgressWindow;
class RemoveProgressWindow;
}  // namespace Ui

class LicensePage : public QDialog {
 public:
  LicensePage();  // loads the licence text before the page is shown
  ~LicensePage() override;
  Ui::LicensePage* ui() { return ui_.get(); }
 private:
  std::unique_ptr<Ui::LicensePage> ui_;
};

class FolderPage : public QDialog {
 public:
  explicit FolderPage(SetupOptions& options);
  ~FolderPage() override;
  void accept() override;
 private:
  void Browse();
  SetupOptions& options_;
  std::unique_ptr<Ui::FolderPage> ui_;
};

class ComponentsPage : public QDialog {
 public:
  explicit ComponentsPage(SetupOptions& options);
  ~ComponentsPage() override;
  void accept() override;
 private:
  SetupOptions& options_;
  std::unique_ptr<Ui::ComponentsPage> ui_;
};

class MulticastPage : public QDialog {
 public:
  explicit MulticastPage(SetupOptions& options);
  ~MulticastPage() override;
  void accept() override;
 private:
  SetupOptions& options_;
  std::unique_ptr<Ui::MulticastPage> ui_;
};

// A progress window: Cancel and the close button do nothing, as the work cannot be stopped.
class ProgressDialog : public QDialog {
 public:
  using QDialog::QDialog;
  void reject() override {}
 protected:
  void closeEvent(QCloseEvent* event) override;
};

class CopyProgressWindow : public ProgressDialog, public CopyProgress {
 public:
  CopyProgressWindow();
  ~CopyProgressWindow() override;
  void SetLines(const std::string& source, const std::string& destination) override;
  void SetRange(uint32_t maximum) override;
  void SetPos(uint32_t position) override;
  void DeltaPos(uint32_t delta) override;
 private:
  std::unique_ptr<Ui::CopyProgressWindow> ui_;
  int position_ = 0;
};

class RemoveProgressWindow : public ProgressDialog {
 public:
  explicit RemoveProgressWindow(const std::string& line);
  ~RemoveProgressWindow() override;
 private:
  std::unique_ptr<Ui::RemoveProgressWindow> ui_;
};

class QtSetupUi : public SetupUi {
 public:
  bool LicensePage() override;
  bool FolderPage(SetupOptions& options) override;
  bool ComponentsPage(SetupOptions& options) override;
  bool MulticastPage(SetupOptions& options) override;
  bool FinishPage() override;
  bool RemovePage() override;
  CopyProgress* CreateCopyProgress() override;
  void DestroyCopyProgress() override;
  bool CreateRemoveProgress(const std::string& line) override;
  void DestroyRemoveProgress() override;
  void ShowWarning(const std::string& text) override;
  void Wait(int ms) override;
 private:
  std::unique_ptr<CopyProgressWindow> copy_;
  std::unique_ptr<RemoveProgressWindow> remove_;
};

// Repaints what is on screen without taking user input, so progress shows and clicks on
// Cancel have no effect.
void RepaintWindows();
// The program icon (16 and 32 pixels).
QIcon SetupIcon();

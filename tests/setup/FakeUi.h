#pragma once
// A scripted user interface for the install and uninstall runs: page answers and edits set in
// advance, every progress call recorded, waits only counted.
#include <functional>
#include <string>
#include <vector>

#include "setup/SetupUi.h"

class RecordingProgress : public CopyProgress {
 public:
  void SetLines(const std::string& source, const std::string& destination) override {
    lines.push_back(source + " -> " + destination);
  }
  void SetRange(uint32_t maximum) override { range = maximum; }
  void SetPos(uint32_t position) override { positions.push_back(position); }
  void DeltaPos(uint32_t delta) override { deltas.push_back(delta); }
  std::vector<std::string> lines;
  std::vector<uint32_t> deltas;
  std::vector<uint32_t> positions;
  uint32_t range = 0;
};

class FakeUi : public SetupUi {
 public:
  bool license = true, folder = true, components = true, multicast = true, remove = true;
  std::function<void(SetupOptions&)> on_folder, on_components, on_multicast;
  std::vector<std::string> pages;     // in the order shown
  std::vector<std::string> warnings;
  std::vector<int> waits;
  RecordingProgress progress;
  bool copy_window_open = false;
  bool remove_window_open = false;

  bool LicensePage() override { pages.push_back("license"); return license; }
  bool FolderPage(SetupOptions& o) override {
    pages.push_back("folder");
    if (on_folder) on_folder(o);
    return folder;
  }
  bool ComponentsPage(SetupOptions& o) override {
    pages.push_back("components");
    if (on_components) on_components(o);
    return components;
  }
  bool MulticastPage(SetupOptions& o) override {
    pages.push_back("multicast");
    if (on_multicast) on_multicast(o);
    return multicast;
  }
  bool FinishPage() override { pages.push_back("finish"); return true; }
  bool RemovePage() override { pages.push_back("remove"); return remove; }
  CopyProgress* CreateCopyProgress() override { copy_window_open = true; return &progress; }
  void DestroyCopyProgress() override { copy_window_open = false; }
  bool CreateRemoveProgress(const std::string&) override { return remove_window_open = true; }
  void DestroyRemoveProgress() override { remove_window_open = false; }
  void ShowWarning(const std::string& text) override { warnings.push_back(text); }
  void Wait(int ms) override { waits.push_back(ms); }
};

#pragma once
// The install item tree: folders and files, each knowing where it comes from in the package
// folder, where it goes, its size, and how to install itself with its uninstall records.
// Installer's main thread; portable (no Qt, no X11).
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class UninstallLog;

// What the copy reports to the progress window.
class CopyProgress {
 public:
  virtual ~CopyProgress() = default;
  // Shows the source and destination lines of the file being copied.
  virtual void SetLines(const std::string& source, const std::string& destination) = 0;
  virtual void SetRange(uint32_t maximum) = 0;  // minimum 0
  virtual void SetPos(uint32_t position) = 0;
  virtual void DeltaPos(uint32_t delta) = 0;
};

class InstallFolder;

class InstallItem {
 public:
  InstallItem(InstallFolder* parent, std::string name, int logged)
      : parent_(parent), name_(std::move(name)), logged_(logged) {}
  virtual ~InstallItem() = default;
  InstallItem(const InstallItem&) = delete;
  InstallItem& operator=(const InstallItem&) = delete;

  virtual uint64_t GetSize() = 0;
  virtual void Install(CopyProgress& window) = 0;
  virtual void PreInstall() {}
  virtual void PostInstall() {}

  std::string SourcePath() const;
  std::string DestinationPath() const;

  InstallFolder* parent() const { return parent_; }
  const std::string& name() const { return name_; }
  int logged() const { return logged_; }
  void set_target_name(std::string target) { target_name_ = std::move(target); }
  const std::string& target_name() const { return target_name_; }

 private:
  InstallFolder* parent_;
  std::string name_;
  int logged_;
  std::string target_name_;
};

class InstallFile : public InstallItem {
 public:
  using InstallItem::InstallItem;
  uint64_t GetSize() override;
  void Install(CopyProgress& window) override;
};

class InstallFolder : public InstallItem {
 public:
  using InstallItem::InstallItem;
  uint64_t GetSize() override;
  void Install(CopyProgress& window) override;
  void PreInstall() override;
  void PostInstall() override;
  std::vector<std::unique_ptr<InstallItem>>& children() { return children_; }

 private:
  std::vector<std::unique_ptr<InstallItem>> children_;
};

// The installer's one settings record.
struct SetupOptions {
  std::string install_folder;
  int install_server = 1;
  int install_viewer = 1;
  std::string multicast_target = "227.0.0.1";
  int multicast_port = 10510;
  std::string stream_key;  // StreamKey's passphrase; empty: none is written
  InstallFolder* current_folder = nullptr;
  std::vector<std::unique_ptr<InstallItem>> items;

  InstallFolder* AddFolder(const std::string& path);
  InstallFile* AddFile(const std::string& name, int logged);
  InstallFile* AddFileAs(const std::string& name, const std::string& target_name);
};

// Makes sure the folder exists, creating missing parents; FatalError when one cannot be made.
void MakeFolderPath(const std::string& path);

// The package file for path: the exact name when it exists, else the first entry of its folder
// (in byte order) whose name matches without regard to ASCII case, else path unchanged.
std::string FindPackageFile(const std::string& path);

// Bytes copied per read; the progress bar advances by the whole KiB of each chunk.
constexpr std::size_t kCopyChunk = 32768;

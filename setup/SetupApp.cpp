#include "setup/SetupApp.h"

#include "Common/Helper.h"
#include "Common/Log.h"
#include "Common/Registry.h"
#include "platform/ShellLink.h"
#include "setup/SetupState.h"
#include "setup/SetupUi.h"

static const char kModule[] = "setup/SetupApp";

void RunSetupWizard(SetupUi& ui) {
  if (!ui.LicensePage()) return;
  if (!ui.FolderPage(g_options)) return;
  if (!ui.ComponentsPage(g_options)) return;
  if (g_options.install_server && !ui.MulticastPage(g_options)) return;
  ui.Wait(500);
  BuildFileList();
  InstallFiles(ui);
  CreateShortcuts();
  RegisterUninstaller();
  g_log.WriteRecord(kRecordKey, std::string(kUninstallKeyPrefix) + kProduct, "");
  g_log.CloseLog();
  ui.FinishPage();
}

void BuildFileList() {
  g_options.AddFolder(g_options.install_folder);
  if (g_options.install_viewer) g_options.AddFile(kViewerFile, 1);
  if (g_options.install_server) {
    g_options.AddFile(kHooksFile, 1);
    g_options.AddFile(kServerFile, 1);
  }
  g_options.AddFile(kLicenseFile, 1);
  g_options.AddFile(kReadmeFile, 1);
}

void InstallFiles(SetupUi& ui) {
  MakeFolderPath(g_options.install_folder);
  g_log.CreateLog(g_options.install_folder);
  g_options.AddFolder(g_options.install_folder);
  g_options.AddFileAs(kSetupFile, kUninstallFile);

  uint64_t total = 0;
  for (auto& item : g_options.items) total += item->GetSize();
  for (auto& item : g_options.items) item->PreInstall();

  CopyProgress* window = ui.CreateCopyProgress();
  if (!window) FatalError("Cannot create window", kModule, __LINE__);
  window->SetRange(static_cast<uint32_t>(total / 1024));
  window->SetPos(0);
  for (auto& item : g_options.items) item->Install(*window);
  ui.Wait(2000);
  ui.DestroyCopyProgress();

  WriteSettings();
  for (auto& item : g_options.items) item->PostInstall();
}

void WriteSettings() {
  g_log.WriteRecord(kRecordKey, kSettingsKey, "");
  const std::string target =
      g_options.multicast_target + ":" + std::to_string(g_options.multicast_port);
  SetSettingString("MulticastTarget", target.c_str(), "Parameters");
  // Only a key typed in: an empty field leaves a key set earlier (by a viewer's dialog) alone.
  if (!g_options.stream_key.empty())
    SetSettingString("StreamKey", g_options.stream_key.c_str(), "Parameters");
}

bool CreateShortcut(const std::string& link, const std::string& target,
                    const std::string& arguments) {
  return CreateDesktopEntry(link, target, arguments);
}

void CreateShortcuts() {
  const std::string group = g_programs + "/" + kProduct;
  CreateDirectoryTree(group.c_str());
  struct Row {
    const char* link;
    const char* target;
    bool wanted;
  };
  const Row rows[] = {
      {"/Uninstall VARNO.desktop", "/Uninstall", true},
      {"/GLIMT (client).desktop", "/glimt", g_options.install_viewer != 0},
      {"/VARNO (server).desktop", "/varno", g_options.install_server != 0},
  };
  for (const Row& row : rows) {
    if (!row.wanted) continue;
    const std::string link = group + row.link;
    CreateShortcut(link, g_options.install_folder + row.target, "");
    g_log.WriteRecord(kRecordFile, link, "");
  }
  g_log.WriteRecord(kRecordFolder, group, "");
}

std::string UninstallCommand(const std::string& install_folder) {
  return "\"" + install_folder + "/" + kUninstallFile + "\" -uninstall";
}

void RegisterUninstaller() {
  RegistryKey key;
  const std::string path = std::string(kUninstallKeyPrefix) + kProduct;
  key.Create(path.c_str());
  key.SetString("DisplayName", kProduct);
  key.SetString("UninstallString", UninstallCommand(g_options.install_folder).c_str());
  key.Close();
}

#include "setup/RemoveApp.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "Common/Helper.h"
#include "Common/Log.h"
#include "Common/Registry.h"
#include "platform/ExePath.h"
#include "platform/PathRemove.h"
#include "platform/Service.h"
#include "setup/SetupState.h"
#include "setup/SetupUi.h"

static const char kModule[] = "setup/RemoveApp";

namespace {
ServiceManager* g_test_services = nullptr;

// Key paths the replay may delete, as lower-case components: the settings below
// SOFTWARE\Orvane and the product's own uninstall registration.
const std::vector<std::string> kSettingsRoot = {"software", "orvane"};
const std::vector<std::string> kRegistrationKey = {"software",  "microsoft", "windows",
                                                   "currentversion", "uninstall", "orvane varno"};

bool StartsWith(const std::vector<std::string>& list, const std::vector<std::string>& head) {
  return list.size() >= head.size() && std::equal(head.begin(), head.end(), list.begin());
}

// Removes a recorded file or folder if the record may act on it; says in the log why not.
// True when the path was within the installation (the removal may still have failed).
bool RemoveRecorded(const std::string& path, bool folder, const ReplayScope& scope,
                    RemoveStatus* status = nullptr) {
  if (!IsReplayablePath(path, scope)) {
    LogLine("Uninstall: %s lies outside the installation's folders; record skipped\n",
            path.c_str());
    return false;
  }
  std::string link;
  const RemoveStatus result = RemoveWithoutLinks(path, folder, &link);
  if (result == RemoveStatus::kLinkOnPath)
    LogLine("Uninstall: %s not removed: %s is a symbolic link\n", path.c_str(), link.c_str());
  if (status) *status = result;
  return true;
}

void RemoveService(const std::string& program, const std::string& name,
                   const ReplayScope& scope, ServiceManager& services,
                   const std::function<void(int)>& sleep_ms) {
  if (services.Exists(name)) {
    if (services.Stop(name)) {
      std::string state;
      while (services.QueryState(name, &state) && state == "deactivating") sleep_ms(1000);
    }
    services.Delete(name);
  }
  if (!FileExists(program.c_str())) return;
  for (int attempt = 0; attempt < 10; ++attempt) {
    RemoveStatus status = RemoveStatus::kFailed;
    if (!RemoveRecorded(program, false, scope, &status) || status != RemoveStatus::kFailed)
      return;
    if (attempt == 9) return;
    sleep_ms(1000);
    if (!FileExists(program.c_str())) return;
  }
}
}  // namespace

bool IsReplayablePath(const std::string& path, const ReplayScope& scope) {
  std::vector<std::string> parts;
  if (!SplitAbsolutePath(path, &parts) || parts.empty()) return false;
  for (const std::string& folder : scope.folders) {
    std::vector<std::string> base;
    if (SplitAbsolutePath(folder, &base) && StartsWith(parts, base)) return true;
  }
  return false;
}

bool IsReplayableKey(const std::string& key_path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = key_path.find('\\', start);
    std::string part = key_path.substr(start, end == std::string::npos ? end : end - start);
    if (part.empty()) return false;  // an empty component is no key the installer wrote
    // Key names compare without regard to ASCII case, as the registry does.
    for (char& c : part) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    parts.push_back(part);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return (parts.size() > kSettingsRoot.size() && StartsWith(parts, kSettingsRoot)) ||
         StartsWith(parts, kRegistrationKey);
}

ReplayScope InstallationScope(const std::string& log_folder) {
  return ReplayScope{{log_folder, g_programs + "/" + kProduct}};
}

void ActOnRecord(char type, const std::string& first, const std::string& second,
                 const ReplayScope& scope, ServiceManager& services,
                 const std::function<void(int)>& sleep_ms) {
  switch (type) {
    case kRecordFolder:
      // Only an empty folder is removed.
      RemoveRecorded(first, true, scope);
      break;
    case kRecordFile:
      RemoveRecorded(first, false, scope);
      break;
    case kRecordKey:
      if (IsReplayableKey(first)) {
        DeleteKeyTree(first.c_str());
      } else {
        LogLine("Uninstall: the registry key %s is not the product's own; record skipped\n",
                first.c_str());
      }
      break;
    case kRecordService:
      RemoveService(first, second, scope, services, sleep_ms);
      break;
    default:
      break;
  }
}

void SetServiceManagerForTest(ServiceManager* services) { g_test_services = services; }

void RunUninstall(SetupUi& ui) {
  if (!ui.RemovePage()) return;
  if (!ui.CreateRemoveProgress("Uninstalling program files from this computer..."))
    FatalError("Cannot create window", kModule, __LINE__);

  const std::string folder = ExecutableFolder();
  const ReplayScope scope = InstallationScope(folder);
  if (!g_log.OpenLog(folder)) {
    ui.ShowWarning(std::string("The log file needed for the uninstallation of ") + kProduct +
                   " can not be found.\n\nThe uninstall program will now terminate");
    ui.DestroyRemoveProgress();
    return;
  }
  ServiceManager& services = g_test_services ? *g_test_services : SystemServices();
  auto sleep_ms = [&ui](int ms) { ui.Wait(ms); };
  char type = 0;
  std::string first, second;
  while (g_log.ReadRecord(&type, &first, &second)) ActOnRecord(type, first, second, scope, services, sleep_ms);
  g_log.CloseLog();

  RemoveWithoutLinks(g_default_install_folder + "/" + kProduct + ".log", false, nullptr);
  ui.Wait(2000);
  ui.DestroyRemoveProgress();
}

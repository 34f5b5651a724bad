#include "setup/RemoveApp.h"

#include <unistd.h>

#include "Common/Helper.h"
#include "Common/Log.h"
#include "Common/Registry.h"
#include "platform/ExePath.h"
#include "platform/Service.h"
#include "setup/SetupState.h"
#include "setup/SetupUi.h"

static const char kModule[] = "setup/RemoveApp";

namespace {
ServiceManager* g_test_services = nullptr;

void RemoveService(const std::string& program, const std::string& name,
                   ServiceManager& services, const std::function<void(int)>& sleep_ms) {
  if (services.Exists(name)) {
    if (services.Stop(name)) {
      std::string state;
      while (services.QueryState(name, &state) && state == "deactivating") sleep_ms(1000);
    }
    services.Delete(name);
  }
  if (!IsReplayablePath(program) || !FileExists(program.c_str())) return;
  for (int attempt = 0; attempt < 10; ++attempt) {
    if (unlink(program.c_str()) == 0) return;
    if (attempt == 9) return;
    sleep_ms(1000);
    if (!FileExists(program.c_str())) return;
  }
}
}  // namespace

bool IsReplayablePath(const std::string& path) {
  return path.size() > 1 && path[0] == '/';
}

bool IsReplayableKey(const std::string& key_path) {
  int components = 0;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = key_path.find('\\', start);
    const std::size_t length = (end == std::string::npos ? key_path.size() : end) - start;
    if (length == 0) return false;  // an empty component is no key the installer wrote
    ++components;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return components >= 3;
}

void ActOnRecord(char type, const std::string& first, const std::string& second,
                 ServiceManager& services, const std::function<void(int)>& sleep_ms) {
  switch (type) {
    case kRecordFolder:
      // rmdir neither follows a link nor removes a folder that still holds anything.
      if (IsReplayablePath(first)) rmdir(first.c_str());
      break;
    case kRecordFile:
      if (IsReplayablePath(first)) unlink(first.c_str());
      break;
    case kRecordKey:
      if (IsReplayableKey(first)) {
        DeleteKeyTree(first.c_str());
      } else {
        DebugTrace("Refusing to delete the registry key >%s<\n", first.c_str());
      }
      break;
    case kRecordService:
      RemoveService(first, second, services, sleep_ms);
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
  while (g_log.ReadRecord(&type, &first, &second)) ActOnRecord(type, first, second, services, sleep_ms);
  g_log.CloseLog();

  unlink((g_default_install_folder + "/" + kProduct + ".log").c_str());
  ui.Wait(2000);
  ui.DestroyRemoveProgress();
}

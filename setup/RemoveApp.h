#pragma once
// The uninstaller run: the remove page, then the replay of the uninstall log found beside the
// running program, record by record in file order.
#include <functional>
#include <string>
#include <vector>

class SetupUi;
class ServiceManager;

void RunUninstall(SetupUi& ui);

// Where 'F', 'D' and the file of 'S' records may act: inside (or at) one of these folders.
struct ReplayScope {
  std::vector<std::string> folders;
};
// The folder that holds the log and the installation's shortcut folder
// "<Programs>/Orvane VARNO".
ReplayScope InstallationScope(const std::string& log_folder);

// Acts on one record. A path outside the scope, with an empty, "." or ".." component, or
// with a symbolic link on its way is left alone with a line in the log (a link named by an
// 'F' record is removed as a link). Registry keys must lie below SOFTWARE\Orvane\ or be the
// product's own uninstall registration. sleep_ms blocks between service polls and delete
// attempts.
void ActOnRecord(char type, const std::string& first, const std::string& second,
                 const ReplayScope& scope, ServiceManager& services,
                 const std::function<void(int)>& sleep_ms);

// The record checks, exposed for tests.
bool IsReplayablePath(const std::string& path, const ReplayScope& scope);
bool IsReplayableKey(const std::string& key_path);
// Services for the replay; tests put a fake in place (nullptr: the system's).
void SetServiceManagerForTest(ServiceManager* services);

#pragma once
// The uninstaller run: the remove page, then the replay of the uninstall log found beside the
// running program, record by record in file order.
#include <functional>
#include <string>

class SetupUi;
class ServiceManager;

void RunUninstall(SetupUi& ui);

// Acts on one record. Paths must be absolute (a link is removed as a link, never followed);
// registry keys need at least three components, so a damaged log cannot remove a platform
// key such as SOFTWARE\Microsoft. sleep_ms blocks between service polls and delete attempts.
void ActOnRecord(char type, const std::string& first, const std::string& second,
                 ServiceManager& services, const std::function<void(int)>& sleep_ms);

// The record checks, exposed for tests.
bool IsReplayablePath(const std::string& path);
bool IsReplayableKey(const std::string& key_path);
// Services for the replay; tests put a fake in place (nullptr: the system's).
void SetServiceManagerForTest(ServiceManager* services);

#pragma once
// System services as the uninstaller's 'S' records need them, on systemd through systemctl:
// the user's manager (--user) for an ordinary user, the system manager for root. Installer's
// main thread. The interface lets the uninstaller's replay be tested with a fake.
#include <string>

class ServiceManager {
 public:
  virtual ~ServiceManager() = default;
  // The unit is known to the manager ("open the service").
  virtual bool Exists(const std::string& name) = 0;
  // Asks the manager to stop the unit without waiting; true when the request was accepted.
  virtual bool Stop(const std::string& name) = 0;
  // The unit's state word ("active", "deactivating", "inactive", ...); false when unknown.
  virtual bool QueryState(const std::string& name, std::string* state) = 0;
  // Disables the unit and removes its unit file when that file is a local one (under
  // /etc/systemd or the user's configuration), never a file that a package owns.
  virtual bool Delete(const std::string& name) = 0;
};

// The manager of this system; systemctl is found on PATH.
ServiceManager& SystemServices();

// A unit name that systemctl can take without reading it as an option or a pattern.
bool IsValidServiceName(const std::string& name);

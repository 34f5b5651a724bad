#pragma once
// The installer run: pages, then the item tree, the copy, the settings value, the shortcuts
// and the uninstall registration, each change recorded in the uninstall log.
#include <string>

class SetupUi;

// Package and installed file names.
constexpr char kViewerFile[] = "glimt";
constexpr char kHooksFile[] = "libhooks.so";
constexpr char kServerFile[] = "varno";
constexpr char kLicenseFile[] = "License.txt";
constexpr char kReadmeFile[] = "Readme.txt";
constexpr char kSetupFile[] = "Setup";
constexpr char kUninstallFile[] = "Uninstall";

void RunSetupWizard(SetupUi& ui);
void BuildFileList();
void InstallFiles(SetupUi& ui);
void WriteSettings();
void CreateShortcuts();
bool CreateShortcut(const std::string& link, const std::string& target,
                    const std::string& arguments);
void RegisterUninstaller();
// The uninstall registration's command: "<install folder>/Uninstall" -uninstall, whole.
std::string UninstallCommand(const std::string& install_folder);

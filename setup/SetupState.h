#pragma once
// Process-wide state of the installer and the start-up rules that need no window: the folders
// it works with, the mode selection, and the texts the pages read and check.
#include <string>

#include "setup/Install.h"
#include "setup/Uninstall.h"

extern SetupOptions g_options;
extern UninstallLog g_log;
extern std::string g_source_folder;   // folder of the running program
extern std::string g_program_files;   // "ProgramFilesDir"
extern std::string g_programs;        // the start menu's programs folder
extern std::string g_default_install_folder;  // "<Program Files>/Orvane VARNO" at start-up

constexpr char kProduct[] = "Orvane VARNO";
constexpr char kVersion[] = "1.0.0";
constexpr char kCurrentVersionKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
constexpr char kShellFoldersKey[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\explorer\\Shell Folders";
constexpr char kUninstallKeyPrefix[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
constexpr char kSettingsKey[] = "SOFTWARE\\Orvane\\VARNO";

// The folder of a path: everything before its last '/'; "/" for a file in the root; the path
// itself when it has no '/'.
std::string FolderOfPath(const std::string& path);
// The install folder as typed on the folder page, made absolute: a relative text is taken
// from current (the working folder), a leading "~" or "~/" from home (when that is
// absolute), then "." and empty parts are dropped and ".." is resolved in the text (never
// above "/"). The root itself is "", the form in which an empty folder stands for it.
std::string AbsoluteFolder(const std::string& typed, const std::string& current,
                           const std::string& home);
// The program's file name without extension, the caption of the installer's message boxes.
std::string ProgramCaption(const std::string& exe_path);
// "Uninstall" anywhere in the program path (case-sensitive), or exactly one argument.
bool IsUninstallMode(const std::string& exe_path, int argument_count);

// Fills the source, Program Files, Programs and default install folders and the install
// folder of g_options from the registry. False (after a "b" report) when the platform's
// CurrentVersion key cannot be opened.
bool InitSetupFolders(const std::string& exe_path);
// FatalError's hook during a run: removes a partly written destination file and writes out the
// uninstall log's buffered records, so the uninstaller can remove what was done. Keeps the last
// error for the box.
void SaveWorkOnFatalError();
// Frees the item tree and puts g_options back to its defaults (tests run several installs).
void ResetSetupOptions();

// The licence page's text: folder/license.txt (any case) read in 4096-byte blocks, each taken
// up to its first zero byte; empty when the file cannot be read.
std::string LoadLicenseText(const std::string& folder);
// A dialog's integer field: at most 31 characters read; blanks or tabs around an optionally
// signed decimal number; a zero result must start with the digit '0'; the value must fit an
// int. False when the text is no integer.
bool ParseDialogInt(const std::string& text, int* value);

#pragma once
// The running executable's full path, read once from /proc/self/exe and cached (a trailing
// " (deleted)" stripped, since the uninstaller deletes its own file). Any thread.
#include <string>

const std::string& ExecutablePath();
// The folder that holds the executable (no trailing '/'; "/" for the root).
std::string ExecutableFolder();
// Tests only: pretend the executable lives at path.
void SetExecutablePathForTest(const std::string& path);

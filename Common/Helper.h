#pragma once
// File-system helpers of the installer.

// True when the path exists on return; false after a report ("p", "b").
bool CreateDirectoryTree(const char* path);
// True when at least one file or folder matches the path or wildcard pattern.
bool FileExists(const char* pattern);

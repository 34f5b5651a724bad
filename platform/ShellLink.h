#pragma once
// Start-menu shortcuts as freedesktop .desktop launchers (Type=Application), which the menus of
// the Linux desktops pick up from the applications folders. Written through FileReplace, mode
// 0644. Installer's main thread.
#include <string>

// Writes link_path with Name = the link's base name (without ".desktop") and Exec = the quoted
// target followed by arguments (when not empty). False when the file cannot be written.
bool CreateDesktopEntry(const std::string& link_path, const std::string& target,
                        const std::string& arguments);

// The Exec value for a program path: the path in double quotes with '"', '`', '$' and '\'
// escaped by '\' and '%' doubled, then the key file's own escaping of '\' and line breaks
// applied on top, so that desktops that unescape the value first see the quoted form.
std::string DesktopExecValue(const std::string& target);
// A value of a string key (Name): backslashes and line breaks escaped.
std::string DesktopStringValue(const std::string& text);

#include "platform/ShellLink.h"

#include <sys/stat.h>

#include "platform/FileReplace.h"

std::string DesktopStringValue(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default: out += c;
    }
  }
  return out;
}

std::string DesktopExecValue(const std::string& target) {
  std::string quoted = "\"";
  for (char c : target) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    if (c == '%') quoted += '%';
    quoted += c;
  }
  quoted += '"';
  return DesktopStringValue(quoted);
}

bool CreateDesktopEntry(const std::string& link_path, const std::string& target,
                        const std::string& arguments) {
  std::string name = link_path.substr(link_path.rfind('/') + 1);
  static const char kSuffix[] = ".desktop";
  constexpr std::size_t kSuffixLen = sizeof kSuffix - 1;
  if (name.size() > kSuffixLen && name.compare(name.size() - kSuffixLen, kSuffixLen, kSuffix) == 0)
    name.resize(name.size() - kSuffixLen);

  std::string text = "[Desktop Entry]\nType=Application\nVersion=1.0\n";
  text += "Name=" + DesktopStringValue(name) + "\n";
  text += "Exec=" + DesktopExecValue(target);
  if (!arguments.empty()) text += " " + DesktopStringValue(arguments);
  text += "\nTerminal=false\n";

  FileReplace file;
  return file.Open(link_path, 0644) && file.Write(text.data(), text.size()) && file.Commit();
}

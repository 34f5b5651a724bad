#pragma once
// Removal of one file or empty folder named by an absolute path without following a symbolic
// link anywhere on it: the path is walked from "/" one folder at a time (O_PATH | O_NOFOLLOW),
// and the last name is removed in the folder reached. The uninstaller's replay uses it, so that
// a link planted in place of an installed folder cannot send a deletion elsewhere. Any thread.
#include <string>
#include <vector>

// The components of an absolute path: it starts with '/', and no component is empty, "." or
// "..". "/" itself has none. False for any other path.
bool SplitAbsolutePath(const std::string& path, std::vector<std::string>* components);

enum class RemoveStatus {
  kRemoved,
  kFailed,      // the system refused (missing, not empty, no permission); last error set
  kLinkOnPath,  // a symbolic link lies on the path; *link names it
  kBadPath,     // not an absolute path of plain components, or "/"
};

// Removes path: a folder (which must be empty) when folder is set, otherwise any non-folder,
// a link named by the path itself included (the link goes, its target stays). A link as the
// last component of a folder path counts as a link on the path.
RemoveStatus RemoveWithoutLinks(const std::string& path, bool folder, std::string* link);

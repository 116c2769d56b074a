#pragma once
// Which file names a build may carry. A manifest name is read by the launcher
// with a bounded white-space tokenizer, passed through its name check, put
// into URLs without escaping and written to a Windows file system next to the
// launcher's own state files; a name that any of these would mangle is
// refused at publishing time instead of breaking every player's patch run.

#include <string>
#include <vector>

namespace lvpublish {

// Why `name` (a path relative to the game folder, "/" separators) cannot be
// published, as "<rule>"; empty when it can.
std::string NameProblem(const std::string& name);

// Why `folder` cannot name a build folder on the server; empty when it can.
// A build folder is one path level and ends with "/".
std::string BuildFolderProblem(const std::string& folder);

// Files, or a file and a folder, whose names Windows makes one: they differ
// only in letter case or in trailing dots or spaces of a level ("a" and
// "a."). One path on a player's disk, two entries to the launcher. Returns the first
// such pair as "A and B", or empty.
std::string CaseCollision(const std::vector<std::string>& names);

}  // namespace lvpublish

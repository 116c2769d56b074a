#pragma once
// Replacing a file so that a kill or a power cut leaves either the old file or
// the whole new one: the new bytes go into a temporary file beside the target,
// reach the disk, and are renamed over the target; then the rename reaches the
// disk with the target's folder. The launcher's own files, the update role's
// copy of the launcher and every file lvpublish rewrites in the server folder
// are replaced this way.

#include <string>
#include <string_view>

namespace platform {

// Flushes the bytes written to `fd` to the disk.
bool SyncFile(int fd);
// Renames `from` over `to`: a file or a link there is replaced (a link's
// target never is). Fails where the system refuses to replace a running
// program (Windows) and when `to` is a folder. errno says why. Windows has
// to be asked to replace, and the move is written through there.
bool RenameOver(const std::string& from, const std::string& to);
// Makes a folder's entries, a rename into it among them, reach the disk. True
// on Windows, where the written-through move stands in for it.
bool SyncFolder(const std::string& folder);
// The folder holding `path`: "." for a bare name.
std::string FolderOf(const std::string& path);

// The whole replacement of `target` with `text`: the temporary file is made
// from `temporaryPattern` (a path in target's folder ending in "XXXXXX") with
// permission bits `mode`. False, with errno telling why, the target untouched
// and no temporary file left, when the file could not be made, written,
// flushed or renamed. `folderSynced` (when given) tells whether the folder
// then reached the disk; the replacement stands either way.
bool ReplaceWithText(const std::string& target, const std::string& temporaryPattern,
                     std::string_view text, int mode, bool* folderSynced = nullptr);

}  // namespace platform

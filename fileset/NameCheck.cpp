// The file-name safety check: every manifest name becomes a path the launcher
// writes to, so a name that could leave the game folder, name a drive or
// replace the running launcher is defused and rejected before anything is
// fetched.

#include <string>

#include "fileset/FilesToPatch.h"
#include "patch/RunSurface.h"
#include "platform/Platform.h"
#include "state/LocalFiles.h"

void FilesToPatch::File::CheckName() {
    // The launcher's own program and its own files: a game file there would
    // replace the program or the launcher's state (its server, its options,
    // its markers, its copy of the manifest).
    if (SameNameIgnoringCase(name, kLauncherExe) || IsLauncherLocalFile(name))
        rejected = true;

    // "previous" is always the byte as the manifest wrote it, so one rewrite
    // cannot hide or create another.
    const std::string original = name;
    for (size_t i = 0; i < name.size(); ++i) {
        const char c = original[i];
        const char previous = i > 0 ? original[i - 1] : '\0';
        switch (c) {
            case '.':
                if (previous == '.') {
                    name[i] = '0';
                    rejected = true;
                }
                break;
            case '/':
            case '\\':
                name[i] = '/';
                // A separator after a backslash would make an empty path level
                // just like one after a slash.
                if (i == 0 || previous == '.' || previous == '/' || previous == '\\') {
                    name[i] = '0';
                    rejected = true;
                }
                break;
            case ':':
            case '<':
            case '>':
            case '?':
            // Unescaped in a URL it ends the path: another file would be
            // fetched and stored under this name.
            case '#':
                name[i] = '0';
                rejected = true;
                break;
            default:
                break;
        }
    }
}

void FilesToPatch::File::CreateFolders() const {
    if (rejected)
        return;
    std::string prefix;
    for (char c : name) {
        if (c == '/')
            platform::CreateFolder(prefix);
        prefix.push_back(c);
    }
}

void FilesToPatch::CheckFileNames() {
    for (File& file : files) {
        file.CheckName();
        if (file.rejected)
            g_patchDialog->ShowMessageBox("DEBUG: Filename Security Violation", file.name);
        file.CreateFolders();
    }
}

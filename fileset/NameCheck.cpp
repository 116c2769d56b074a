// The file-name safety check: every manifest name becomes a path the launcher
// writes to, so a name that could leave the game folder, name a drive or
// replace the running launcher is defused and rejected before anything is
// fetched.

#include <string>
#include <string_view>
#include <unordered_set>

#include "base/NameCase.h"
#include "base/Scan.h"
#include "fileset/FilesToPatch.h"
#include "platform/Platform.h"
#include "state/LocalFiles.h"

namespace {

// Windows keeps these names for devices whatever follows the first dot:
// "CON", "aux.dat" or "NUL .txt" open a device, not a file in the game folder.
// The digits of COM and LPT include the superscripts one to three, in the
// single-byte code page and in UTF-8.
bool IsDeviceName(std::string_view stem) {
    // Every device name starts with one of these letters; most names do not.
    const char first = stem.empty() ? '\0' : static_cast<char>(stem[0] | 0x20);
    if (first != 'c' && first != 'p' && first != 'a' && first != 'n' && first != 'l')
        return false;
    const std::string upper = scan::ToUpper(stem);
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
        if (upper == device)
            return true;
    if (upper.compare(0, 3, "COM") != 0 && upper.compare(0, 3, "LPT") != 0)
        return false;
    const std::string_view digit = std::string_view(upper).substr(3);
    for (const char* d : {"\xB9", "\xB2", "\xB3", "\xC2\xB9", "\xC2\xB2", "\xC2\xB3"})
        if (digit == d)
            return true;
    return digit.size() == 1 && digit[0] >= '0' && digit[0] <= '9';
}

// Rejects, on every platform, the names a Windows game folder cannot hold as
// written: a level that is a device name, and a level ending in a dot or a
// blank, which Windows stores without it (so "a." would write "a"). The byte
// that makes it so becomes '0', as the other rewrites do. Runs on the
// rewritten name, whose only separator is '/'.
void RejectReservedNames(std::string& name, bool& rejected) {
    for (size_t begin = 0; begin < name.size();) {
        size_t end = name.find('/', begin);
        if (end == std::string::npos)
            end = name.size();
        if (end > begin) {
            std::string_view level(name.data() + begin, end - begin);
            std::string_view stem = level.substr(0, level.find('.'));
            while (!stem.empty() && stem.back() == ' ')
                stem.remove_suffix(1);
            if (IsDeviceName(stem)) {
                name[begin] = '0';
                rejected = true;
            }
            if (name[end - 1] == '.' || name[end - 1] == ' ') {
                name[end - 1] = '0';
                rejected = true;
            }
        }
        begin = end + 1;
    }
}

}  // namespace

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
            // Unescaped in a URL '#' ends the path and '%' starts an escape:
            // another file would be fetched and stored under this name.
            case '#':
            case '%':
                name[i] = '0';
                rejected = true;
                break;
            default:
                break;
        }
    }
    RejectReservedNames(name, rejected);
}

void FilesToPatch::File::CreateFolders() const {
    std::unordered_set<std::string> made;
    CreateFolders(made);
}

void FilesToPatch::File::CreateFolders(std::unordered_set<std::string>& made) const {
    if (rejected)
        return;
    // Top down, so each parent exists before its child. A folder this stage
    // has already created (or found) is not asked for again: a manifest of
    // tens of thousands of files in a few folders would otherwise cost two
    // system calls per file and folder level.
    for (size_t slash = name.find('/'); slash != std::string::npos;
         slash = name.find('/', slash + 1)) {
        std::string prefix = name.substr(0, slash);
        if (made.count(prefix))
            continue;
        if (platform::CreateFolder(prefix))
            made.insert(std::move(prefix));
    }
}

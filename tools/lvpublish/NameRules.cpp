#include "NameRules.h"

#include <cstdio>
#include <map>

#include "base/NameCase.h"
#include "base/Scan.h"
#include "fileset/FilesToPatch.h"
#include "state/LocalFiles.h"

namespace lvpublish {

namespace {

// Device names Windows reserves in every folder, with any extension.
constexpr const char* kDeviceNames[] = {
    "CON",  "PRN",  "AUX",  "NUL",  "COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7",
    "COM8", "COM9", "LPT1", "LPT2", "LPT3", "LPT4", "LPT5", "LPT6", "LPT7", "LPT8", "LPT9"};

std::string Quoted(unsigned char c) {
    char text[16];
    if (c < 0x20 || c == 0x7f)
        std::snprintf(text, sizeof text, "byte 0x%02x", c);
    else
        std::snprintf(text, sizeof text, "'%c'", c);
    return text;
}

std::string LevelProblem(const std::string& level) {
    if (level.rfind(".lvpublish-", 0) == 0)
        return "'" + level + "' starts like lvpublish's own records, which patch servers " +
               "do not serve";
    std::string stem = scan::ToUpper(level.substr(0, level.find('.')));
    for (const char* device : kDeviceNames)
        if (stem == device)
            return "'" + level + "' is a device name on Windows";
    return "";
}

}  // namespace

std::string NameProblem(const std::string& name) {
    if (name.empty())
        return "the name is empty";
    if (name.size() > FilesToPatch::kMaxNameLength)
        return "the name is " + std::to_string(name.size()) + " bytes long; a manifest holds " +
               std::to_string(FilesToPatch::kMaxNameLength) + " at most";
    if (SameNameIgnoringCase(name, kLauncherExe))
        return std::string(
                   "the launcher refuses to replace its own program; publish a new "
                   "launcher as ") +
               kNewLauncherExe;
    // A game file there would overwrite the launcher's state (or be
    // overwritten by it) and be refused by every player's name check.
    if (const char* own = LauncherLocalFileFor(name))
        return "the launcher keeps its own " + std::string(own) + " in the game folder";

    for (unsigned char c : name) {
        if (scan::IsSpace(c))
            return "white space ends a name in the manifest";
        if (c == '\\')
            return "the launcher reads a backslash as a folder separator";
        // Unescaped in the URL: '#' starts a fragment, '%' an escape.
        if (c == '#' || c == '%')
            return Quoted(c) + " cannot stand unescaped in a URL";
        if (c < 0x20 || c == 0x7f || c == '*' || c == '|' || c == '"')
            return Quoted(c) + " is not allowed in Windows file names";
    }

    size_t begin = 0;
    for (;;) {
        size_t end = name.find('/', begin);
        std::string problem = LevelProblem(name.substr(begin, end - begin));
        if (!problem.empty())
            return problem;
        if (end == std::string::npos)
            break;
        begin = end + 1;
    }

    FilesToPatch::File file;
    file.name = name;
    file.CheckName();
    if (file.rejected)
        return "the launcher's name check rejects it (it reads as '" + file.name +
               "'): no leading '/', empty levels, '..', a level ending in '.', "
               "':', '<', '>' or '?', Windows device names";
    return "";
}

std::string BuildFolderProblem(const std::string& folder) {
    if (folder.size() < 2 || folder.back() != '/')
        return "a build folder is one name followed by '/'";
    const std::string level = folder.substr(0, folder.size() - 1);
    if (level.front() == '.')
        return "a build folder does not start with '.'";
    for (unsigned char c : level) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == '_' || c == '-' || c == '.';
        if (!plain)
            return "a build folder name holds only letters, digits, '_', '-' and '.'";
    }
    if (level.size() > 255)
        return "a build folder name holds at most 255 bytes";
    if (level == "objects")
        return "objects/ holds the compressed copies and deltas of every build";
    return "";
}

namespace {

// The one name Windows makes of a path: letter case does not count, and a
// level's trailing dots and spaces are dropped.
std::string WindowsKey(const std::string& path) {
    std::string key;
    size_t begin = 0;
    for (;;) {
        size_t end = path.find('/', begin);
        std::string level = path.substr(begin, end == std::string::npos ? end : end - begin);
        while (!level.empty() && (level.back() == '.' || level.back() == ' '))
            level.pop_back();
        key += scan::ToUpper(level);
        if (end == std::string::npos)
            break;
        key += '/';
        begin = end + 1;
    }
    return key;
}

}  // namespace

std::string CaseCollision(const std::vector<std::string>& names) {
    // Windows path -> spelling. Two folders that become one are one folder
    // to Windows and harmless; a file collides with another file or with a
    // folder.
    std::map<std::string, std::string> files;
    std::map<std::string, std::string> folders;
    for (const std::string& name : names) {
        auto [it, inserted] = files.emplace(WindowsKey(name), name);
        if (!inserted)
            return it->second + " and " + name;
        for (size_t slash = name.find('/'); slash != std::string::npos;
             slash = name.find('/', slash + 1)) {
            std::string folder = name.substr(0, slash);
            folders.emplace(WindowsKey(folder), folder);
        }
    }
    for (const auto& [key, folder] : folders) {
        auto file = files.find(key);
        if (file != files.end())
            return file->second + " and " + folder + "/";
    }
    return "";
}

}  // namespace lvpublish

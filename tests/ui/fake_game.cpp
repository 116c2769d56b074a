// Stands in for the game, the test client and the options program: records
// under which name it ran, in which folder, with which arguments, which
// descriptors it was given, its signal state and its environment, then ends.
// The record goes to "<program name>.ran" in its working folder.

#include <dirent.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace {

// The open descriptors, before this program opens any of its own.
std::vector<int> OpenDescriptors() {
    std::vector<int> fds;
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir)
        return fds;
    for (dirent* entry = ::readdir(dir); entry; entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        const int fd = std::atoi(entry->d_name);
        if (fd != ::dirfd(dir))
            fds.push_back(fd);
    }
    ::closedir(dir);
    return fds;
}

// "SigBlk:" and "SigIgn:" of /proc/self/status, as written there.
std::vector<std::string> SignalLines() {
    std::vector<std::string> lines;
    FILE* status = std::fopen("/proc/self/status", "r");
    if (!status)
        return lines;
    char line[512];
    while (std::fgets(line, sizeof line, status)) {
        const std::string text = line;
        if (text.rfind("SigBlk:", 0) == 0 || text.rfind("SigIgn:", 0) == 0)
            lines.push_back(text);
    }
    std::fclose(status);
    return lines;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<int> fds = OpenDescriptors();
    std::string name = argv[0];
    name = name.substr(name.find_last_of('/') + 1);
    char cwd[PATH_MAX] = {};
    if (!::getcwd(cwd, sizeof cwd))
        return 1;
    const std::string temp = name + ".ran.tmp";
    FILE* out = std::fopen(temp.c_str(), "w");
    if (!out)
        return 1;
    std::fprintf(out, "%s\n%d\n", cwd, argc - 1);
    for (int i = 1; i < argc; ++i)
        std::fprintf(out, "%s\n", argv[i]);
    for (int fd : fds)
        std::fprintf(out, "fd %d\n", fd);
    for (const std::string& line : SignalLines())
        std::fputs(line.c_str(), out);
    for (char** entry = environ; *entry; ++entry)
        std::fprintf(out, "env %s\n", *entry);
    std::fclose(out);
    // Appears whole or not at all.
    return std::rename(temp.c_str(), (name + ".ran").c_str()) == 0 ? 0 : 1;
}

// Stands in for the game, the test client and the options program: records
// under which name it ran, in which folder and with which arguments, then
// ends. The record goes to "<program name>.ran" in its working folder.

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
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
    std::fclose(out);
    // Appears whole or not at all.
    return std::rename(temp.c_str(), (name + ".ran").c_str()) == 0 ? 0 : 1;
}

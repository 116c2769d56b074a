// The file system's part of the floor of an up-to-date check: one stat() per
// manifest name, nothing else. Prints the seconds the loop took.
//
// Usage: stat_floor MANIFEST   (run in the game folder)

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: stat_floor MANIFEST\n");
        return 2;
    }
    std::ifstream manifest(argv[1]);
    std::vector<std::string> names;
    for (std::string line; std::getline(manifest, line);) {
        std::istringstream fields(line);
        std::string name;
        if (fields >> name)
            names.push_back(name);
    }
    const auto start = std::chrono::steady_clock::now();
    size_t found = 0;
    for (const std::string& name : names) {
        struct stat st {};
        if (::stat(name.c_str(), &st) == 0)
            ++found;
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("%.6f %zu\n", took.count(), found);
    return 0;
}

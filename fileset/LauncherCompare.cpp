// The byte comparison of a file with the launcher's own program, used by the
// download stage and by the update role.

#include <cstdio>
#include <cstring>

#include "fileset/FilesToPatch.h"

bool IsIdenticalToLauncherExe(FILE* other) {
    FILE* launcher = std::fopen(kLauncherExe, "rb");
    if (!launcher) {
        std::fclose(other);
        return false;
    }
    bool identical = true;
    char a[1 << 16];
    char b[1 << 16];
    for (;;) {
        size_t na = std::fread(a, 1, sizeof a, other);
        size_t nb = std::fread(b, 1, sizeof b, launcher);
        // fread fills its buffer unless the file ends, so equal files give
        // equal counts at every step.
        if (na != nb || std::memcmp(a, b, na) != 0) {
            identical = false;
            break;
        }
        if (na < sizeof a)
            break;
    }
    std::fclose(other);
    std::fclose(launcher);
    return identical;
}

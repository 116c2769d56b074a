// The byte comparison of a file with the launcher's own program, used by the
// download stage and by the update role.

#include <cstdio>

#include "fileset/FilesToPatch.h"
#include "platform/FileCompare.h"

bool IsIdenticalToLauncherExe(FILE* other) {
    FILE* launcher = std::fopen(kLauncherExe, "rb");
    if (!launcher) {
        std::fclose(other);
        return false;
    }
    const bool identical = platform::SameBytes(other, launcher);
    std::fclose(other);
    std::fclose(launcher);
    return identical;
}

#include "FuzzFolder.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

void EnterFuzzFolder() {
    static bool entered = false;
    if (entered)
        return;
    // A memory file system where there is one: the state files are saved
    // through fsync, which costs a disk write per input elsewhere.
    char inMemory[] = "/dev/shm/lvfuzz-XXXXXX";
    char onDisk[] = "/tmp/lvfuzz-XXXXXX";
    char* folder = mkdtemp(inMemory);
    if (!folder)
        folder = mkdtemp(onDisk);
    if (!folder || chdir(folder) != 0)
        std::abort();
    entered = true;
}

void WriteInput(const char* name, const uint8_t* data, size_t size) {
    FILE* file = std::fopen(name, "wb");
    if (!file)
        std::abort();
    std::fwrite(data, 1, size, file);
    std::fclose(file);
}

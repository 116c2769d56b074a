#include "FuzzFolder.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

void EnterFuzzFolder() {
    static bool entered = false;
    if (entered)
        return;
    char pattern[] = "/tmp/lvfuzz-XXXXXX";
    if (!mkdtemp(pattern) || chdir(pattern) != 0)
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

// Any manifest line: parsing, size tags and lookups never misbehave, and a
// parsed entry respects the line format's bounds.
#include <cstdlib>
#include <string>

#include "fileset/FilesToPatch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string line(reinterpret_cast<const char*>(data), size);
    FilesToPatch manifest;
    manifest.ParseLine(line);
    for (const FilesToPatch::File& file : manifest.files) {
        if (file.name.empty() || file.name.size() > FilesToPatch::kMaxNameLength)
            std::abort();
        for (const std::string& tag : file.tags)
            if (tag.size() > FilesToPatch::kMaxTagLength)
                std::abort();
    }
    std::string exe;
    manifest.GetGameExe(exe);
    manifest.GetTestClient(exe);
    return 0;
}

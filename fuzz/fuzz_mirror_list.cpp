// Any mirror list: the parser never misbehaves, whatever it accepts writes
// back byte for byte, and every mirror it takes is a base URL whose requests
// stay under that base.
#include <cstdlib>
#include <string>

#include "patch/MirrorList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::optional<MirrorList> list = ParseMirrorList(text);
    if (list && FormatMirrorList(*list) != text)
        std::abort();
    if (std::optional<ServerAddress> address = ParseServerAddress(text)) {
        const std::string base = address->Base();
        if (base.find("/../") != std::string::npos || base.back() != '/' ||
            address->Url("a") != base + "a" ||
            // The base names its port: it may be longer than the URL was.
            (base.size() <= kMaxMirrorUrl && !ParseServerAddress(base)))
            std::abort();
    }
    return 0;
}

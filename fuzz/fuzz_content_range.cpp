// Any Content-Range value a server sends: the parser never misbehaves, and a
// range it accepts lies inside its total and reads back the same.
#include <cstdlib>
#include <string>
#include <string_view>

#include "patch/Transfer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view value(reinterpret_cast<const char*>(data), size);
    const std::optional<ContentRange> range = ParseContentRange(value);
    if (!range)
        return 0;
    if (range->start < 0 || range->end < range->start || range->total <= range->end)
        std::abort();
    const std::string again = "bytes " + std::to_string(range->start) + "-" +
                              std::to_string(range->end) + "/" + std::to_string(range->total);
    const std::optional<ContentRange> reread = ParseContentRange(again);
    if (!reread || reread->start != range->start || reread->end != range->end ||
        reread->total != range->total)
        std::abort();
    return 0;
}

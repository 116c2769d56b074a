#include "platform/FileCompare.h"

#include <cstring>
#include <vector>

namespace platform {

bool SameBytes(FILE* a, FILE* b) {
    std::vector<char> left(1 << 16);
    std::vector<char> right(left.size());
    for (;;) {
        // fread fills its buffer unless the file ends (or fails), so equal
        // files give equal counts at every step.
        const size_t na = std::fread(left.data(), 1, left.size(), a);
        const size_t nb = std::fread(right.data(), 1, right.size(), b);
        if (na != nb || std::memcmp(left.data(), right.data(), na) != 0)
            return false;
        if (na < left.size())
            return !std::ferror(a) && !std::ferror(b);
    }
}

}  // namespace platform

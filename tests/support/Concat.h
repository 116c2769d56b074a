#pragma once
// A string pieced together by appending into one reserved buffer. GCC 12
// takes some `"text" + std::to_string(n)` chains and assignments of a literal
// to a global string for overlapping copies (a false -Wrestrict, an error
// under LV_WERROR); appended pieces give it nothing to report.

#include <initializer_list>
#include <string>
#include <string_view>

inline std::string Concat(std::initializer_list<std::string_view> parts) {
    size_t size = 0;
    for (std::string_view part : parts)
        size += part.size();
    std::string out;
    out.reserve(size);
    for (std::string_view part : parts)
        out.append(part);
    return out;
}

#pragma once
// Case-insensitive ASCII comparison of names: file names and URL schemes
// match the way the Windows file system and the manifest's readers match them.

#include <string>
#include <string_view>

// Case-insensitive ASCII comparison of whole names.
bool SameNameIgnoringCase(const std::string& a, const char* b);
// True when `text` begins with all of `prefix`, ignoring ASCII case.
bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix);

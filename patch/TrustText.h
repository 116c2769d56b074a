#pragma once
// The pieces the signed text files (build statements, key lists) are read
// with, shared by their strict parsers.

#include <cstddef>
#include <string>
#include <string_view>

namespace trusttext {

// Exactly `digits` lowercase hex digits.
bool IsLowerHex(std::string_view text, size_t digits);
// One or more decimal digits.
bool IsDigits(std::string_view text);
// Reads one "keyword value\n" line at `pos`; the value is the rest of the line.
bool TakeField(std::string_view text, size_t* pos, std::string_view keyword,
               std::string_view* value);
// Up to `limit` + 1 bytes of a file, so that a longer one can be told apart.
bool ReadBounded(const std::string& name, size_t limit, std::string* text);

}  // namespace trusttext

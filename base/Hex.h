#pragma once
// Hex text of digests and keys, apart from the hashing itself so that code
// which only reads manifests needs no cryptography library.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Lowercase hex of `size` bytes.
std::string ToHex(const uint8_t* data, size_t size);
// Exactly 2 * size hex digits (either case) into `out`; false otherwise.
bool FromHex(std::string_view hex, uint8_t* out, size_t size);
// 64 hex digits, either case.
bool IsSha256Hex(std::string_view text);

#include "base/Hex.h"

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string ToHex(const uint8_t* data, size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        hex.push_back(kDigits[data[i] >> 4]);
        hex.push_back(kDigits[data[i] & 0xf]);
    }
    return hex;
}

bool FromHex(std::string_view hex, uint8_t* out, size_t size) {
    if (hex.size() != size * 2)
        return false;
    for (size_t i = 0; i < size; ++i) {
        int high = HexValue(hex[2 * i]);
        int low = HexValue(hex[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        out[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}

bool IsSha256Hex(std::string_view text) {
    uint8_t digest[32];  // a SHA-256 digest
    return FromHex(text, digest, sizeof digest);
}

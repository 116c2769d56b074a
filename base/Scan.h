#pragma once
// Bounded tokenizers for the launcher's text formats. They reproduce the
// buffer-bounded formatted reads the file formats were defined with: a token
// that does not fit its buffer fails the conversion instead of being split,
// and a failed number conversion leaves the text where it was for the next
// read.

#include <cstdint>
#include <string>
#include <string_view>

namespace scan {

// The C locale's white space, independent of the process locale.
inline bool IsSpace(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// ASCII upper-casing; other bytes pass unchanged.
std::string ToUpper(std::string_view text);

std::string_view Trim(std::string_view text);

class Scanner {
  public:
    explicit Scanner(std::string_view text) : text_(text) {}

    enum class Token { kOk, kTooLong, kEnd };

    // Skips white space and reads one token of at most bufferSize - 1 bytes.
    // A longer token is consumed whole and reported as kTooLong; kEnd means
    // only white space was left.
    Token ReadToken(size_t bufferSize, std::string* out);

    // Skips white space and reads an optional sign and decimal digits. With no
    // digits nothing is consumed and false is returned. Values beyond 32 bits
    // are clamped to the nearest limit.
    bool ReadInt(int32_t* out);

    bool AtEnd() const { return pos_ >= text_.size(); }

  private:
    void SkipSpace();

    std::string_view text_;
    size_t pos_ = 0;
};

// Reads a decimal value the way strtoll with base 10 does: leading white
// space, a sign, digits up to the first other byte; 0 with no digits;
// clamped to the 64-bit limits.
int64_t ParseInt64(std::string_view text);

// Reads like atoi: leading white space, sign, digits; 0 with none. Clamped to
// 32 bits.
int32_t ParseInt32(std::string_view text);

}  // namespace scan

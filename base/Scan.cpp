#include "base/Scan.h"

#include <limits>

namespace scan {

std::string ToUpper(std::string_view text) {
    std::string upper(text);
    for (char& c : upper)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return upper;
}

std::string_view Trim(std::string_view text) {
    size_t begin = 0;
    while (begin < text.size() && IsSpace(static_cast<unsigned char>(text[begin])))
        ++begin;
    size_t end = text.size();
    while (end > begin && IsSpace(static_cast<unsigned char>(text[end - 1])))
        --end;
    return text.substr(begin, end - begin);
}

void Scanner::SkipSpace() {
    while (pos_ < text_.size() && IsSpace(static_cast<unsigned char>(text_[pos_])))
        ++pos_;
}

Scanner::Token Scanner::ReadToken(size_t bufferSize, std::string* out) {
    SkipSpace();
    if (pos_ >= text_.size())
        return Token::kEnd;
    size_t begin = pos_;
    while (pos_ < text_.size() && !IsSpace(static_cast<unsigned char>(text_[pos_])))
        ++pos_;
    size_t length = pos_ - begin;
    if (length + 1 > bufferSize)
        return Token::kTooLong;
    out->assign(text_.substr(begin, length));
    return Token::kOk;
}

namespace {

// Reads sign and digits at `pos`; returns the number of bytes taken (0 when
// there are no digits) and the value clamped to [lo, hi].
size_t ReadDecimal(std::string_view text, size_t pos, int64_t lo, int64_t hi, int64_t* value) {
    size_t i = pos;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    size_t digitsBegin = i;
    // Accumulate as a negative number so the most negative value fits.
    int64_t acc = 0;
    bool overflow = false;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        int digit = text[i] - '0';
        if (!overflow) {
            if (acc < (std::numeric_limits<int64_t>::min() + digit) / 10)
                overflow = true;
            else
                acc = acc * 10 - digit;
        }
        ++i;
    }
    if (i == digitsBegin) {
        *value = 0;
        return 0;
    }
    int64_t v;
    if (overflow)
        v = negative ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
    else if (negative)
        v = acc;
    else
        v = acc == std::numeric_limits<int64_t>::min() ? std::numeric_limits<int64_t>::max() : -acc;
    *value = v < lo ? lo : (v > hi ? hi : v);
    return i - pos;
}

}  // namespace

bool Scanner::ReadInt(int32_t* out) {
    SkipSpace();
    int64_t value = 0;
    size_t taken = ReadDecimal(text_, pos_, std::numeric_limits<int32_t>::min(),
                               std::numeric_limits<int32_t>::max(), &value);
    if (taken == 0)
        return false;
    pos_ += taken;
    *out = static_cast<int32_t>(value);
    return true;
}

int64_t ParseInt64(std::string_view text) {
    size_t pos = 0;
    while (pos < text.size() && IsSpace(static_cast<unsigned char>(text[pos])))
        ++pos;
    int64_t value = 0;
    ReadDecimal(text, pos, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max(),
                &value);
    return value;
}

int32_t ParseInt32(std::string_view text) {
    int64_t v = ParseInt64(text);
    if (v > std::numeric_limits<int32_t>::max())
        return std::numeric_limits<int32_t>::max();
    if (v < std::numeric_limits<int32_t>::min())
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

}  // namespace scan

#include "state/Settings.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "base/Scan.h"
#include "state/LocalFiles.h"

namespace {

bool SameKey(std::string_view a, std::string_view b) {
    return scan::ToUpper(a) == scan::ToUpper(b);
}

bool IsKeyChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '.';
}

// "key = value" with blanks around either part; a key is a plain word, so a
// comment or a stray line never passes for a setting.
bool SplitSetting(std::string_view line, std::string* key, std::string* value) {
    std::string_view text = scan::Trim(line);
    if (text.empty() || text.front() == '#')
        return false;
    size_t equals = text.find('=');
    if (equals == std::string_view::npos)
        return false;
    std::string_view name = scan::Trim(text.substr(0, equals));
    if (name.empty())
        return false;
    for (char c : name)
        if (!IsKeyChar(c))
            return false;
    key->assign(name);
    value->assign(scan::Trim(text.substr(equals + 1)));
    return true;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsHostChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c) || c == '-' || c == '.';
}

}  // namespace

Settings::LoadResult Settings::Load() {
    lines_.clear();
    FILE* file = std::fopen(kFileName, "rb");
    if (!file)
        return LoadResult::kMissing;
    std::string text;
    char buffer[4096];
    size_t n;
    bool tooLarge = false;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        text.append(buffer, n);
        if (text.size() > kMaxFileSize) {
            tooLarge = true;
            break;
        }
    }
    bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (tooLarge || failed)
        return LoadResult::kUnreadable;
    Parse(text);
    return LoadResult::kLoaded;
}

void Settings::Parse(std::string_view text) {
    lines_.clear();
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find('\n', begin);
        if (end == std::string_view::npos)
            end = text.size();
        Line line;
        line.text.assign(text.substr(begin, end - begin));
        if (!SplitSetting(line.text, &line.key, &line.value))
            line.key.clear();
        lines_.push_back(std::move(line));
        begin = end + 1;
    }
}

std::string Settings::Text() const {
    std::string text;
    for (const Line& line : lines_) {
        text += line.text;
        text += '\n';
    }
    return text;
}

bool Settings::Save() const {
    return ReplaceFileContents(kFileName, Text());
}

std::optional<std::string> Settings::Get(std::string_view key) const {
    for (auto it = lines_.rbegin(); it != lines_.rend(); ++it)
        if (!it->key.empty() && SameKey(it->key, key))
            return it->value;
    return std::nullopt;
}

void Settings::Set(std::string_view key, std::string_view value) {
    auto matches = [&](const Line& line) { return !line.key.empty() && SameKey(line.key, key); };
    Line line{std::string(key) + " = " + std::string(value), std::string(key), std::string(value)};
    auto last = std::find_if(lines_.rbegin(), lines_.rend(), matches);
    if (last == lines_.rend()) {
        lines_.push_back(std::move(line));
        return;
    }
    *last = std::move(line);
    // Only the last line counted; earlier ones would only mislead a reader.
    auto counted = last.base() - 1;
    lines_.erase(std::remove_if(lines_.begin(), counted, matches), counted);
}

void Settings::Remove(std::string_view key) {
    std::erase_if(lines_,
                  [&](const Line& line) { return !line.key.empty() && SameKey(line.key, key); });
}

std::optional<int64_t> Settings::LimitRate() const {
    std::optional<std::string> value = Get(kLimitRateKey);
    if (!value)
        return std::nullopt;
    return ParseRate(*value);
}

void Settings::SetLimitRate(std::optional<int64_t> bytesPerSecond) {
    Set(kLimitRateKey, bytesPerSecond ? FormatRate(*bytesPerSecond) : "off");
}

Settings::ProxySetting Settings::Proxy() const {
    ProxySetting setting;
    std::optional<std::string> value = Get(kProxyKey);
    if (!value)
        return setting;
    if (scan::ToUpper(*value) == "NONE") {
        setting.kind = ProxySetting::Kind::kNone;
    } else if (IsValidProxyUrl(*value)) {
        setting.kind = ProxySetting::Kind::kUrl;
        setting.url = *value;
    }
    return setting;
}

bool Settings::SetProxy(std::string_view text) {
    if (text.empty()) {
        Remove(kProxyKey);
        return true;
    }
    if (scan::ToUpper(text) != "NONE" && !IsValidProxyUrl(text))
        return false;
    // Scheme, host and "none" ignore letter case.
    std::optional<std::string> current = Get(kProxyKey);
    if (!current || scan::ToUpper(*current) != scan::ToUpper(text))
        Set(kProxyKey, text);
    return true;
}

std::optional<int64_t> ParseRate(std::string_view text) {
    text = scan::Trim(text);
    size_t pos = 0;
    int64_t whole = 0;
    int digits = 0;
    while (pos < text.size() && IsDigit(text[pos])) {
        if (++digits > 9)
            return std::nullopt;  // beyond any line, and safe from overflow below
        whole = whole * 10 + (text[pos] - '0');
        ++pos;
    }
    if (digits == 0)
        return std::nullopt;
    int64_t fraction = 0;
    int64_t scale = 1;
    if (pos < text.size() && text[pos] == '.') {
        ++pos;
        int fractionDigits = 0;
        while (pos < text.size() && IsDigit(text[pos])) {
            if (++fractionDigits > 6)
                return std::nullopt;
            fraction = fraction * 10 + (text[pos] - '0');
            scale *= 10;
            ++pos;
        }
        if (fractionDigits == 0)
            return std::nullopt;
    }
    std::string_view unit = scan::Trim(text.substr(pos));
    int64_t multiplier;
    if (scan::ToUpper(unit) == "KIB/S")
        multiplier = 1024;
    else if (scan::ToUpper(unit) == "MIB/S")
        multiplier = 1024 * 1024;
    else
        return std::nullopt;
    // Rounded to the nearest byte; whole * multiplier stays below 2^50.
    int64_t bytes = whole * multiplier + (fraction * multiplier + scale / 2) / scale;
    if (bytes <= 0)
        return std::nullopt;
    return bytes;
}

std::string FormatRate(int64_t bytesPerSecond) {
    constexpr int64_t kMebibyte = 1024 * 1024;
    if (bytesPerSecond % kMebibyte == 0)
        return std::to_string(bytesPerSecond / kMebibyte) + " MiB/s";
    // Thousandths of a KiB, rounded; trailing zeros dropped.
    int64_t milli = (bytesPerSecond * 1000 + 512) / 1024;
    std::string text = std::to_string(milli / 1000);
    int64_t rest = milli % 1000;
    if (rest != 0) {
        std::string decimals = std::to_string(1000 + rest).substr(1);
        while (decimals.back() == '0')
            decimals.pop_back();
        text += "." + decimals;
    }
    return text + " KiB/s";
}

bool IsValidProxyUrl(std::string_view url) {
    constexpr std::string_view kScheme = "http://";
    if (url.size() <= kScheme.size() || scan::ToUpper(url.substr(0, kScheme.size())) != "HTTP://")
        return false;
    std::string_view rest = url.substr(kScheme.size());
    if (!rest.empty() && rest.back() == '/')
        rest.remove_suffix(1);
    std::string_view host;
    std::string_view port;
    if (!rest.empty() && rest.front() == '[') {
        size_t close = rest.find(']');
        if (close == std::string_view::npos || close == 1)
            return false;
        for (char c : rest.substr(1, close - 1))
            if (!(IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' ||
                  c == '.'))
                return false;
        host = rest.substr(0, close + 1);
        rest.remove_prefix(close + 1);
        if (!rest.empty() && rest.front() != ':')
            return false;
    } else {
        size_t colon = rest.find(':');
        host = rest.substr(0, colon);
        if (host.empty())
            return false;
        for (char c : host)
            if (!IsHostChar(c))
                return false;
        rest.remove_prefix(host.size());
    }
    if (rest.empty())
        return true;
    port = rest.substr(1);  // after ':'
    if (port.empty() || port.size() > 5)
        return false;
    int value = 0;
    for (char c : port) {
        if (!IsDigit(c))
            return false;
        value = value * 10 + (c - '0');
    }
    return value >= 1 && value <= 65535;
}

#include "patch/Statement.h"

#include <cstdio>

#include "patch/Ed25519.h"
#include "patch/Limits.h"
#include "patch/TrustText.h"

namespace {

constexpr const char kMagic[] = "lantern-vale-build-statement 2";
constexpr size_t kMaxSerialDigits = 18;  // below 2^63 whatever the digits
constexpr size_t kMaxBuildFolder = 255;
constexpr size_t kMaxShortName = 64;

}  // namespace

namespace trusttext {

bool IsLowerHex(std::string_view text, size_t digits) {
    if (text.size() != digits)
        return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

bool IsDigits(std::string_view text) {
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return !text.empty();
}

// Reads one "keyword value\n" line at `pos`; the value is the rest of the line.
bool TakeField(std::string_view text, size_t* pos, std::string_view keyword,
               std::string_view* value) {
    std::string_view rest = text.substr(*pos);
    if (rest.substr(0, keyword.size()) != keyword || rest.size() <= keyword.size() ||
        rest[keyword.size()] != ' ')
        return false;
    size_t end = rest.find('\n');
    if (end == std::string_view::npos)
        return false;
    *value = rest.substr(keyword.size() + 1, end - keyword.size() - 1);
    *pos += end + 1;
    return true;
}

bool ReadBounded(const std::string& name, size_t limit, std::string* text) {
    FILE* file = std::fopen(name.c_str(), "rb");
    if (!file)
        return false;
    text->assign(limit + 1, '\0');
    size_t n = std::fread(text->data(), 1, limit + 1, file);
    std::fclose(file);
    text->resize(n);
    return true;
}

}  // namespace trusttext

bool IsShortName(std::string_view name) {
    if (name.empty() || name.size() > kMaxShortName)
        return false;
    for (char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_' || c == '.'))
            return false;
    return true;
}

using namespace trusttext;

std::string StatementBody(const BuildStatement& s) {
    std::string body = kMagic;
    body += "\nkey " + s.key;
    body += "\nproduct " + s.product;
    body += "\nchannel " + s.channel;
    body += "\nbuild-folder " + s.buildFolder;
    body += "\nserial " + std::to_string(s.serial);
    body += "\nmanifest-sha256 " + s.manifestSha256;
    body += "\nexpires " + FormatUtc(s.expires);
    body += "\n";
    return body;
}

std::string FormatStatement(const BuildStatement& s) {
    return StatementBody(s) + "signature " + s.signature + "\n";
}

std::optional<BuildStatement> ParseStatement(std::string_view text) {
    if (text.size() > kMaxStatementBytes)
        return std::nullopt;
    size_t pos = 0;
    std::string_view magic(kMagic);
    if (text.substr(0, magic.size() + 1) != std::string(kMagic) + "\n")
        return std::nullopt;
    pos = magic.size() + 1;

    BuildStatement s;
    std::string_view key, product, channel, folder, serial, manifest, expires, signature;
    if (!TakeField(text, &pos, "key", &key) || !TakeField(text, &pos, "product", &product) ||
        !TakeField(text, &pos, "channel", &channel) ||
        !TakeField(text, &pos, "build-folder", &folder) ||
        !TakeField(text, &pos, "serial", &serial) ||
        !TakeField(text, &pos, "manifest-sha256", &manifest) ||
        !TakeField(text, &pos, "expires", &expires) ||
        !TakeField(text, &pos, "signature", &signature) || pos != text.size())
        return std::nullopt;

    if (!IsLowerHex(key, 2 * kEd25519KeySize) || !IsLowerHex(manifest, 64) ||
        !IsLowerHex(signature, 2 * kEd25519SignatureSize) || !IsShortName(product) ||
        !IsShortName(channel))
        return std::nullopt;
    // The build folder as build_folder.txt names it: printable, no blanks.
    if (folder.size() > kMaxBuildFolder)
        return std::nullopt;
    for (char c : folder)
        if (c <= ' ' || c > '~')
            return std::nullopt;
    if (!IsDigits(serial) || serial.size() > kMaxSerialDigits || serial[0] == '0')
        return std::nullopt;
    std::optional<int64_t> expiry = ParseUtc(expires);
    if (!expiry)
        return std::nullopt;

    s.key = key;
    s.product = product;
    s.channel = channel;
    s.buildFolder = folder;
    s.serial = std::stoull(std::string(serial));
    s.manifestSha256 = manifest;
    s.expires = *expiry;
    s.signature = signature;
    return s;
}

// Civil dates in the proleptic Gregorian calendar, by arithmetic alone, so
// that no platform's time-zone functions (or their absence) change a result.
static int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

static void CivilFromDays(int64_t z, int64_t* y, int64_t* m, int64_t* d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = yoe + era * 400 + (*m <= 2);
}

std::string FormatUtc(int64_t seconds) {
    int64_t days = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
    int64_t rest = seconds - days * 86400;
    int64_t y = 0, m = 0, d = 0;
    CivilFromDays(days, &y, &m, &d);
    if (y < 0 || y > 9999)
        return "";
    char text[96] = "";
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", static_cast<int>(y),
                  static_cast<int>(m), static_cast<int>(d), static_cast<int>(rest / 3600),
                  static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
    return text;
}

std::optional<int64_t> ParseUtc(std::string_view text) {
    // YYYY-MM-DDTHH:MM:SSZ exactly.
    static const char kShape[] = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != sizeof kShape - 1)
        return std::nullopt;
    for (size_t i = 0; i < text.size(); ++i) {
        bool digit = text[i] >= '0' && text[i] <= '9';
        if (kShape[i] == 'd' ? !digit : text[i] != kShape[i])
            return std::nullopt;
    }
    auto number = [&](size_t at, size_t digits) {
        int64_t value = 0;
        for (size_t i = at; i < at + digits; ++i)
            value = value * 10 + (text[i] - '0');
        return value;
    };
    const int64_t y = number(0, 4), m = number(5, 2), d = number(8, 2);
    const int64_t hh = number(11, 2), mm = number(14, 2), ss = number(17, 2);
    if (m < 1 || m > 12 || d < 1 || hh > 23 || mm > 59 || ss > 59)
        return std::nullopt;
    // A date that does not come back the same (31 April) was not real.
    const int64_t days = DaysFromCivil(y, m, d);
    int64_t y2 = 0, m2 = 0, d2 = 0;
    CivilFromDays(days, &y2, &m2, &d2);
    if (y2 != y || m2 != m || d2 != d)
        return std::nullopt;
    return days * 86400 + hh * 3600 + mm * 60 + ss;
}

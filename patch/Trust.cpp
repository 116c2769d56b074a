#include "patch/Trust.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>

#include "base/Sha256.h"
#include "fileset/FilesToPatch.h"
#include "patch/HttpFetch.h"
#include "patch/KeyList.h"
#include "patch/PatchServer.h"
#include "patch/TrustText.h"
#include "platform/Platform.h"
#include "state/LocalFiles.h"
#include "state/TextFile.h"

#ifndef LV_TRUSTED_KEY
#define LV_TRUSTED_KEY ""
#endif
#ifndef LV_PRODUCT
#define LV_PRODUCT "lantern-vale"
#endif
#ifndef LV_CHANNEL
#define LV_CHANNEL "live"
#endif

namespace {

constexpr const char kMagic[] = "lantern-vale-build-statement 2";
constexpr size_t kKeySize = 32;
constexpr size_t kSignatureSize = 64;
constexpr size_t kMaxSerialDigits = 18;  // below 2^63 whatever the digits
constexpr size_t kMaxBuildFolder = 255;
constexpr size_t kMaxShortName = 64;

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;
using Bio = std::unique_ptr<BIO, BioFree>;

std::optional<std::string> PublicHexOf(EVP_PKEY* key) {
    uint8_t raw[kKeySize];
    size_t length = sizeof raw;
    if (EVP_PKEY_get_raw_public_key(key, raw, &length) != 1 || length != kKeySize)
        return std::nullopt;
    return ToHex(raw, length);
}

std::string& TrustedKeyStorage() {
    // Function-local: a test's static initialiser may set it before main.
    static std::string key = LV_TRUSTED_KEY;
    return key;
}

std::string& AcceptedProductStorage() {
    static std::string product = LV_PRODUCT;
    return product;
}

std::string& AcceptedChannelStorage() {
    static std::string channel = LV_CHANNEL;
    return channel;
}

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

    if (!IsLowerHex(key, 2 * kKeySize) || !IsLowerHex(manifest, 64) ||
        !IsLowerHex(signature, 2 * kSignatureSize) || !IsShortName(product) ||
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

const char* TrustCheckText(TrustCheck check) {
    switch (check) {
        case TrustCheck::kPassed:
            return "the build is signed and current";
        case TrustCheck::kMissing:
            return "the patch server sent no build statement";
        case TrustCheck::kMalformed:
            return "the build statement is not in the expected form";
        case TrustCheck::kWrongKey:
            return "the build is signed by another key than the one this launcher trusts";
        case TrustCheck::kBadSignature:
            return "the signature of the build statement is not valid";
        case TrustCheck::kOtherChannel:
            return "the update was published for another product or channel";
        case TrustCheck::kManifestMismatch:
            return "the file list does not match the signed build statement";
        case TrustCheck::kOtherBuildFolder:
            return "the build statement belongs to another build folder";
        case TrustCheck::kRollback:
            return "the build is older than one this launcher has already accepted";
        case TrustCheck::kExpired:
            return "the build statement has expired";
        case TrustCheck::kUnhashedEntry:
            return "a file of the build has no content hash";
    }
    return "unknown check";
}

TrustCheck VerifyStatement(const std::optional<std::string>& text, const TrustExpectation& expected,
                           BuildStatement* accepted) {
    if (!text)
        return TrustCheck::kMissing;
    std::optional<BuildStatement> statement = ParseStatement(*text);
    if (!statement)
        return TrustCheck::kMalformed;
    if (!SignerTrusted(expected.trustedKey, statement->key, expected.keyList, expected.now))
        return TrustCheck::kWrongKey;
    if (!VerifySignature(statement->key, StatementBody(*statement), statement->signature))
        return TrustCheck::kBadSignature;
    if (statement->product != expected.product || statement->channel != expected.channel)
        return TrustCheck::kOtherChannel;
    if (statement->manifestSha256 != expected.manifestSha256)
        return TrustCheck::kManifestMismatch;
    if (statement->buildFolder != expected.buildFolder)
        return TrustCheck::kOtherBuildFolder;
    if (statement->serial < expected.highestAcceptedSerial)
        return TrustCheck::kRollback;
    if (expected.now >= statement->expires)
        return TrustCheck::kExpired;
    if (accepted)
        *accepted = *statement;
    return TrustCheck::kPassed;
}

std::optional<SigningKey> GenerateSigningKey() {
    EVP_PKEY* raw = nullptr;
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
        EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr), EVP_PKEY_CTX_free);
    if (!context || EVP_PKEY_keygen_init(context.get()) != 1 ||
        EVP_PKEY_keygen(context.get(), &raw) != 1)
        return std::nullopt;
    Pkey key(raw);
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio ||
        PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return std::nullopt;
    char* data = nullptr;
    long length = BIO_get_mem_data(bio.get(), &data);
    std::optional<std::string> publicHex = PublicHexOf(key.get());
    if (length <= 0 || !publicHex)
        return std::nullopt;
    return SigningKey{std::string(data, static_cast<size_t>(length)), *publicHex};
}

std::optional<SigningKey> ReadSigningKey(const std::string& privatePem) {
    Bio bio(BIO_new_mem_buf(privatePem.data(), static_cast<int>(privatePem.size())));
    if (!bio)
        return std::nullopt;
    Pkey key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (!key || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519)
        return std::nullopt;
    std::optional<std::string> publicHex = PublicHexOf(key.get());
    if (!publicHex)
        return std::nullopt;
    return SigningKey{privatePem, *publicHex};
}

std::optional<std::string> SignMessage(const SigningKey& signingKey, std::string_view message) {
    Bio bio(BIO_new_mem_buf(signingKey.privatePem.data(),
                            static_cast<int>(signingKey.privatePem.size())));
    Pkey key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    MdCtx context(EVP_MD_CTX_new());
    if (!key || !context)
        return std::nullopt;
    uint8_t signature[kSignatureSize];
    size_t length = sizeof signature;
    if (EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), signature, &length,
                       reinterpret_cast<const uint8_t*>(message.data()), message.size()) != 1 ||
        length != kSignatureSize)
        return std::nullopt;
    return ToHex(signature, length);
}

bool SignStatement(const SigningKey& signingKey, BuildStatement* statement) {
    statement->key = signingKey.publicHex;
    std::optional<std::string> signature = SignMessage(signingKey, StatementBody(*statement));
    if (!signature)
        return false;
    statement->signature = *signature;
    return true;
}

bool VerifySignature(const std::string& publicHex, std::string_view message,
                     const std::string& signatureHex) {
    uint8_t raw[kKeySize];
    uint8_t signature[kSignatureSize];
    if (!FromHex(publicHex, raw, sizeof raw) || !FromHex(signatureHex, signature, sizeof signature))
        return false;
    Pkey key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, raw, sizeof raw));
    MdCtx context(EVP_MD_CTX_new());
    return key && context &&
           EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
           EVP_DigestVerify(context.get(), signature, sizeof signature,
                            reinterpret_cast<const uint8_t*>(message.data()), message.size()) == 1;
}

const std::string& TrustedKey() {
    return TrustedKeyStorage();
}

bool TrustRequired() {
    return !TrustedKey().empty();
}

void SetTrustedKeyForTests(const std::string& publicHex) {
    TrustedKeyStorage() = publicHex;
}

const std::string& AcceptedProduct() {
    return AcceptedProductStorage();
}

const std::string& AcceptedChannel() {
    return AcceptedChannelStorage();
}

void SetAcceptedChannelForTests(const std::string& product, const std::string& channel) {
    AcceptedProductStorage() = product;
    AcceptedChannelStorage() = channel;
}

uint64_t ReadAcceptedSerial() {
    std::string text;
    if (!ReadBounded(kTrustStateFileName, 32, &text))
        return 0;
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    if (!IsDigits(text) || text.size() > kMaxSerialDigits)
        return 0;
    return std::stoull(text);
}

bool SaveAcceptedSerial(uint64_t serial) {
    return ReplaceFileContents(kTrustStateFileName, std::to_string(serial) + "\n");
}

namespace {

const char* const kStagedCopies[] = {kBuildFolderFileName, kManifestFileName, kStatementFileName,
                                     kKeyListFileName};
const char kUnverifiedSuffix[] = ".unverified";

}  // namespace

std::string RunCopyName(const char* localName) {
    return TrustRequired() ? std::string(localName) + kUnverifiedSuffix : localName;
}

void DropUnverifiedCopies() {
    if (!TrustRequired())
        return;
    for (const char* name : kStagedCopies)
        std::remove(RunCopyName(name).c_str());
}

bool KeepVerifiedCopies() {
    if (!TrustRequired())
        return true;
    bool kept = true;
    for (const char* name : kStagedCopies) {
        const std::string staged = RunCopyName(name);
        // A fetch that failed left nothing staged: the local copy stays.
        if (platform::CanOpenForRead(staged) && !RenameOverLocalFile(staged, name)) {
            std::remove(staged.c_str());
            kept = false;
        }
    }
    return kept;
}

TrustCheck CheckBuildStatement(BuildStatement* accepted) {
    // Only a whole answer of status 200 within the bound replaces the local
    // copy; anything else (an endless answer too) leaves no statement.
    long status = 0;
    std::optional<std::string> statement;
    std::string text;
    const std::string local = RunCopyName(kStatementFileName);
    if (FetchToFile(local, g_patchServer.buildPath + kStatementFileName, kMaxStatementBytes,
                    &status) &&
        ReadBounded(local, kMaxStatementBytes, &text))
        statement = text;

    TrustExpectation expected;
    expected.trustedKey = TrustedKey();
    expected.product = AcceptedProduct();
    expected.channel = AcceptedChannel();
    expected.keyList = FetchKeyListFor(statement);
    expected.manifestSha256 = Sha256FileHex(RunCopyName(kManifestFileName)).value_or("");
    expected.buildFolder = g_patchServer.buildFolder;
    expected.highestAcceptedSerial = ReadAcceptedSerial();
    expected.now = static_cast<int64_t>(std::time(nullptr));
    return VerifyStatement(statement, expected, accepted);
}

TrustCheck AcceptBuild(const FilesToPatch& filesToPatch, const BuildStatement& accepted) {
    for (const FilesToPatch::File& file : filesToPatch.files)
        if (file.Sha256Tag().empty())
            return TrustCheck::kUnhashedEntry;
    // Not being able to save the serial does not make this statement less
    // genuine; it only leaves the next run with the older bound.
    if (accepted.serial > ReadAcceptedSerial())
        SaveAcceptedSerial(accepted.serial);
    return TrustCheck::kPassed;
}

#include "patch/Trust.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>

#include "base/Sha256.h"
#include "fileset/FilesToPatch.h"
#include "patch/Ed25519.h"
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

constexpr size_t kMaxSerialDigits = 18;  // below 2^63 whatever the digits

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

using namespace trusttext;

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

TrustCheck CheckBuildStatement(RunContext& run, BuildStatement* accepted) {
    // Only a whole answer of status 200 within the bound replaces the local
    // copy; anything else (an endless answer too) leaves no statement.
    long status = 0;
    std::optional<std::string> statement;
    std::string text;
    const std::string local = RunCopyName(kStatementFileName);
    if (FetchToFile(run, local, g_patchServer.buildPath + kStatementFileName, kMaxStatementBytes,
                    &status) &&
        ReadBounded(local, kMaxStatementBytes, &text))
        statement = text;

    TrustExpectation expected;
    expected.trustedKey = TrustedKey();
    expected.product = AcceptedProduct();
    expected.channel = AcceptedChannel();
    expected.keyList = FetchKeyListFor(run, statement);
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

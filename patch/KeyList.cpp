#include "patch/KeyList.h"

#include <set>

#include "patch/Ed25519.h"
#include "patch/HttpFetch.h"
#include "patch/PatchServer.h"
#include "patch/TrustText.h"

using namespace trusttext;

namespace {

constexpr const char kKeyListMagic[] = "lantern-vale-build-keys 1";
constexpr size_t kKeyDigits = 64;
constexpr size_t kSignatureDigits = 128;
constexpr size_t kUtcSize = sizeof "YYYY-MM-DDTHH:MM:SSZ" - 1;

}  // namespace

std::string KeyListBody(const KeyList& list) {
    std::string body = std::string(kKeyListMagic) + "\nroot " + list.root + "\nserial " +
                       std::to_string(list.serial) + "\n";
    for (const BuildKey& key : list.keys)
        body += "build-key " + key.key + " " + FormatUtc(key.expires) + "\n";
    return body;
}

std::string FormatKeyList(const KeyList& list) {
    return KeyListBody(list) + "signature " + list.signature + "\n";
}

std::optional<KeyList> ParseKeyList(std::string_view text) {
    if (text.size() > kMaxKeyListBytes)
        return std::nullopt;
    const std::string magic = std::string(kKeyListMagic) + "\n";
    if (text.substr(0, magic.size()) != magic)
        return std::nullopt;
    size_t pos = magic.size();

    KeyList list;
    std::string_view root;
    if (!TakeField(text, &pos, "root", &root) || !IsLowerHex(root, kKeyDigits))
        return std::nullopt;
    list.root = root;
    std::string_view serial;
    if (!TakeField(text, &pos, "serial", &serial) || serial.empty() || serial.size() > 18 ||
        serial[0] == '0' || !IsDigits(serial))
        return std::nullopt;
    list.serial = std::stoull(std::string(serial));
    std::set<std::string_view> seen;
    std::string_view value;
    while (TakeField(text, &pos, "build-key", &value)) {
        // "<key> <expiry>": both of fixed length.
        if (value.size() != kKeyDigits + 1 + kUtcSize || value[kKeyDigits] != ' ')
            return std::nullopt;
        std::string_view key = value.substr(0, kKeyDigits);
        std::optional<int64_t> expires = ParseUtc(value.substr(kKeyDigits + 1));
        if (!IsLowerHex(key, kKeyDigits) || !expires || !seen.insert(key).second ||
            list.keys.size() == kMaxBuildKeys)
            return std::nullopt;
        list.keys.push_back({std::string(key), *expires});
    }
    std::string_view signature;
    if (list.keys.empty() || !TakeField(text, &pos, "signature", &signature) ||
        !IsLowerHex(signature, kSignatureDigits) || pos != text.size())
        return std::nullopt;
    list.signature = signature;
    return list;
}

bool SignerTrusted(const std::string& rootKey, const std::string& signerKey,
                   const std::optional<std::string>& keyListText, int64_t now) {
    if (signerKey == rootKey)
        return true;
    if (!keyListText)
        return false;
    std::optional<KeyList> list = ParseKeyList(*keyListText);
    if (!list || list->root != rootKey ||
        !VerifySignature(rootKey, KeyListBody(*list), list->signature))
        return false;
    for (const BuildKey& key : list->keys)
        if (key.key == signerKey)
            return now < key.expires;
    return false;
}

std::optional<uint64_t> VerifiedKeyListSerial(const std::string& rootKey,
                                              const std::optional<std::string>& keyListText) {
    std::optional<KeyList> list = keyListText ? ParseKeyList(*keyListText) : std::nullopt;
    if (!list || list->root != rootKey ||
        !VerifySignature(rootKey, KeyListBody(*list), list->signature))
        return std::nullopt;
    return list->serial;
}

std::optional<std::string> FetchKeyListFor(RunContext& run,
                                           const std::optional<std::string>& statementText) {
    std::optional<BuildStatement> statement =
        statementText ? ParseStatement(*statementText) : std::nullopt;
    if (!statement || statement->key == TrustedKey())
        return std::nullopt;
    long status = 0;
    std::string text;
    const std::string local = RunCopyName(kKeyListFileName);
    if (!FetchToFile(run, local, g_patchServer.serverPath + kKeyListFileName, kMaxKeyListBytes,
                     &status) ||
        !ReadBounded(local, kMaxKeyListBytes, &text))
        return std::nullopt;
    // A replayed older list may still name a key the operator dropped.
    std::string kept;
    std::optional<uint64_t> keptSerial;
    if (ReadBounded(kKeyListFileName, kMaxKeyListBytes, &kept))
        keptSerial = VerifiedKeyListSerial(TrustedKey(), kept);
    std::optional<uint64_t> fetchedSerial = VerifiedKeyListSerial(TrustedKey(), text);
    if (keptSerial && (!fetchedSerial || *fetchedSerial < *keptSerial))
        return std::nullopt;
    return text;
}

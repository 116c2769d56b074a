#pragma once
// Build keys. The key a launcher is built with (LV_TRUSTED_KEY) is the
// operator's root key, kept offline. It signs a short list of build keys,
// each with an expiry, and build statements may then be signed by any key
// on that list instead of by the root key itself. The list lives at the top
// of the server path, beside build_folder.txt, and is fetched only for a
// statement that is not signed by the root key.
//
// Key list format (every line ends with a line feed, nothing else is
// allowed, lines in this order, one blank between fields):
//
//   lantern-vale-build-keys 1
//   root <public root key: 64 hex digits>
//   serial <decimal, 1 to 18 digits, no leading zero>
//   build-key <public key: 64 hex digits> <expires: YYYY-MM-DDTHH:MM:SSZ, UTC>
//     (1 to kMaxBuildKeys such lines, no key twice)
//   signature <128 hex digits>
//
// The signature, by the root key, covers every byte before the "signature"
// line. Hex digits are lowercase. The serial only grows (lvpublish takes the
// signing time, above any list before): a launcher refuses a list with a
// lower serial than the one it keeps, so a list that dropped a stolen key
// cannot be replaced by an older one that still names it.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "patch/Trust.h"
#include "state/LauncherFiles.h"

inline constexpr size_t kMaxBuildKeys = 8;

struct BuildKey {
    std::string key;      // 64 lowercase hex digits
    int64_t expires = 0;  // seconds since 1970-01-01 UTC; the first second it no longer signs
};

struct KeyList {
    std::string root;  // 64 lowercase hex digits
    uint64_t serial = 0;
    std::vector<BuildKey> keys;
    std::string signature;  // 128 lowercase hex digits; empty until signed
};

// The signed part of the list.
std::string KeyListBody(const KeyList& list);
// The whole file: body and signature line.
std::string FormatKeyList(const KeyList& list);
// Strict: anything that FormatKeyList would not have written is refused, and
// so is a list of no keys, of more than kMaxBuildKeys or with a key twice.
std::optional<KeyList> ParseKeyList(std::string_view text);

// The one decision on who may sign a build statement, for a patch run and
// for any later check of the local copies: the root key itself, or a key
// that `keyListText` (the list as fetched or kept; nullopt when there is
// none) names with an expiry after `now`, in a list of the strict form whose
// root line is `rootKey` and whose signature by `rootKey` verifies.
bool SignerTrusted(const std::string& rootKey, const std::string& signerKey,
                   const std::optional<std::string>& keyListText, int64_t now);

// The serial of `keyListText` when it is a list of the strict form that
// `rootKey` signed, else nullopt.
std::optional<uint64_t> VerifiedKeyListSerial(const std::string& rootKey,
                                              const std::optional<std::string>& keyListText);

// The run's fetch, right after the statement's: nothing when the statement is
// missing, not one, or signed by the trusted key; otherwise the server's key
// list, staged as RunCopyName(kKeyListFileName), or nullopt when it did not
// arrive whole within kMaxKeyListBytes or is older (a lower serial) than the
// verified list the launcher keeps.
std::optional<std::string> FetchKeyListFor(RunContext& run,
                                           const std::optional<std::string>& statementText);

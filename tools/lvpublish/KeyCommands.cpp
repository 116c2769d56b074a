#include "KeyCommands.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>

#include "Publish.h"
#include "ServerFolder.h"
#include "Signing.h"
#include "patch/Ed25519.h"
#include "state/TextFile.h"

namespace fs = std::filesystem;

namespace lvpublish {

namespace {

constexpr int64_t kDay = 86400;

const char kPublicKeyUsage[] =
    "Usage: lvpublish public-key KEYFILE\n"
    "\n"
    "Prints the public half of a key file from 'lvpublish keygen': the value of\n"
    "-DLV_TRUSTED_KEY for a root key, the HEX of --build-key for a build key.\n";

const char kSignKeysUsage[] =
    "Usage: lvpublish sign-keys SERVER_ROOT --root-key KEYFILE --build-key HEX[:DAYS]...\n"
    "\n"
    "Writes SERVER_ROOT/lanternvale_patch/build_keys.txt, signed by the root key\n"
    "(the one launchers are built with): the build keys, 1 to 8 public keys as\n"
    "'lvpublish public-key' prints them, that may sign builds, each for DAYS\n"
    "from now (default 90, at most 3650). Launchers then take builds signed\n"
    "with --sign-key and any of those keys. The list replaces the one there.\n";

const char kRotateUsage[] =
    "Usage: lvpublish rotate SERVER_ROOT --root-key KEYFILE --new-key KEYFILE\n"
    "                        [--days DAYS] [--grace DAYS]\n"
    "\n"
    "Signs a new SERVER_ROOT/lanternvale_patch/build_keys.txt with the root key:\n"
    "the public half of --new-key, valid DAYS (default 90), and the keys of the\n"
    "current list that are still valid, each for GRACE days more at most\n"
    "(default 14), so builds signed with them keep working until then. Publish\n"
    "with --sign-key NEWKEYFILE from now on.\n";

struct KeyCommandArgs {
    std::vector<std::string> positional;
    std::string rootKey;
    std::string newKey;
    std::string days;
    std::string grace;
    std::vector<std::string> buildKeys;
};

int Fail(const std::string& reason) {
    std::fprintf(stderr, "lvpublish: %s\n", reason.c_str());
    return 1;
}

std::string Base(const std::string& serverRoot) {
    return (fs::path(serverRoot) / kServerFolder).string() + "/";
}

// "HEX[:DAYS]" into a key valid from `now`.
bool ParseBuildKey(const std::string& text, int64_t now, BuildKey* key, std::string* error) {
    const size_t colon = text.find(':');
    std::string hex = text.substr(0, colon);
    std::transform(hex.begin(), hex.end(), hex.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    int days = kDefaultBuildKeyDays;
    std::string daysError;
    if (colon != std::string::npos &&
        (colon + 1 == text.size() || !ParseExpiryDays(text.substr(colon + 1), &days, &daysError))) {
        *error = "--build-key " + text + ": DAYS must be a whole number from 1 to " +
                 std::to_string(kMaxExpiryDays);
        return false;
    }
    if (hex.size() != 64 || hex.find_first_not_of("0123456789abcdef") != std::string::npos) {
        *error = "--build-key " + text + ": not a public key of 64 hex digits";
        return false;
    }
    key->key = hex;
    key->expires = now + days * kDay;
    return true;
}

// Signs `keys` with the root key and puts the list in place in one step.
int WriteKeyList(const std::string& serverRoot, const SigningKey& root,
                 const std::vector<BuildKey>& keys) {
    KeyList list;
    list.keys = keys;
    // Above the list it replaces, so launchers that kept that one take this.
    list.serial = static_cast<uint64_t>(std::time(nullptr));
    std::string served;
    if (ReadWholeFile(Base(serverRoot) + kKeyListFileName, &served))
        if (std::optional<uint64_t> previous = VerifiedKeyListSerial(root.publicHex, served))
            list.serial = std::max(list.serial, *previous + 1);
    if (!SignKeyList(root, &list))
        return Fail("cannot sign the key list");
    const std::string text = FormatKeyList(list);
    if (!ParseKeyList(text))
        return Fail("the key list would not be one launchers read (1 to " +
                    std::to_string(kMaxBuildKeys) + " keys, none twice)");
    const std::string base = Base(serverRoot);
    std::error_code ec;
    fs::create_directories(base, ec);
    ServerLock lock;
    std::string error;
    if (!lock.Acquire(base, &error) || !ReplaceFileDurably(base + kKeyListFileName, text, &error))
        return Fail(error);
    std::printf("Wrote %s%s, signed by root key %s:\n", base.c_str(), kKeyListFileName,
                root.publicHex.c_str());
    for (const BuildKey& key : keys)
        std::printf("  %s until %s\n", key.key.c_str(), FormatUtc(key.expires).c_str());
    return 0;
}

int SignKeys(const KeyCommandArgs& args, const SigningKey& root) {
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    std::vector<BuildKey> keys;
    for (const std::string& text : args.buildKeys) {
        BuildKey key;
        std::string error;
        if (!ParseBuildKey(text, now, &key, &error))
            return Fail(error);
        keys.push_back(key);
    }
    return WriteKeyList(args.positional[0], root, keys);
}

int Rotate(const KeyCommandArgs& args, const SigningKey& root) {
    SigningKey newKey;
    std::string error;
    int days = 0, grace = 0;
    if (!LoadSigningKey(args.newKey, &newKey, &error))
        return Fail(error);
    if (!ParseExpiryDays(args.days.empty() ? std::to_string(kDefaultBuildKeyDays) : args.days,
                         &days, &error) ||
        !ParseExpiryDays(args.grace.empty() ? std::to_string(kDefaultGraceDays) : args.grace,
                         &grace, &error))
        return Fail("--days and --grace take a whole number of days from 1 to " +
                    std::to_string(kMaxExpiryDays));

    const std::string path = Base(args.positional[0]) + kKeyListFileName;
    std::vector<BuildKey> current;
    std::string text;
    if (ReadWholeFile(path, &text)) {
        std::optional<KeyList> list = ParseKeyList(text);
        if (!list || list->root != root.publicHex ||
            !VerifySignature(root.publicHex, KeyListBody(*list), list->signature))
            return Fail(path + " is not a key list signed by " + args.rootKey +
                        "; write a new one with lvpublish sign-keys");
        current = list->keys;
    }
    std::vector<BuildKey> keys;
    if (!RotatedKeys(current, newKey.publicHex, days, grace,
                     static_cast<int64_t>(std::time(nullptr)), &keys, &error))
        return Fail(error);
    return WriteKeyList(args.positional[0], root, keys);
}

}  // namespace

bool RotatedKeys(const std::vector<BuildKey>& current, const std::string& newKey, int days,
                 int graceDays, int64_t now, std::vector<BuildKey>* keys, std::string* error) {
    keys->clear();
    for (const BuildKey& key : current)
        if (key.key != newKey && now < key.expires)
            keys->push_back({key.key, std::min(key.expires, now + graceDays * kDay)});
    keys->push_back({newKey, now + days * kDay});
    if (keys->size() > kMaxBuildKeys) {
        *error = "the list would hold " + std::to_string(keys->size()) + " keys, more than " +
                 std::to_string(kMaxBuildKeys) + "; write a shorter one with lvpublish sign-keys";
        return false;
    }
    return true;
}

bool IsKeyCommand(const char* command) {
    return std::strcmp(command, "public-key") == 0 || std::strcmp(command, "sign-keys") == 0 ||
           std::strcmp(command, "rotate") == 0;
}

int RunKeyCommand(int argc, char** argv) {
    const std::string command = argv[1];
    const char* usage = command == "public-key"  ? kPublicKeyUsage
                        : command == "sign-keys" ? kSignKeysUsage
                                                 : kRotateUsage;
    auto usageError = [&](const std::string& reason) {
        std::fprintf(stderr, "lvpublish %s: %s\n%s", command.c_str(), reason.c_str(), usage);
        return 2;
    };
    KeyCommandArgs args;
    const std::map<std::string, std::string*> single = {
        {"--root-key", &args.rootKey},
        {"--new-key", &args.newKey},
        {"--days", &args.days},
        {"--grace", &args.grace},
    };
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(usage, stdout);
            return 0;
        }
        const bool takesKeys = command == "sign-keys" && arg == "--build-key";
        auto found = single.find(arg);
        const bool known = found != single.end() && command != "public-key" &&
                           (command == "rotate" || found->first == "--root-key");
        if (takesKeys || known) {
            if (i + 1 >= argc || (known && !found->second->empty()))
                return usageError(arg + " needs one value");
            if (takesKeys)
                args.buildKeys.push_back(argv[++i]);
            else
                *found->second = argv[++i];
            continue;
        }
        if (arg.size() > 1 && arg[0] == '-')
            return usageError("unknown option '" + arg + "'");
        args.positional.push_back(arg);
    }
    if (args.positional.size() != 1)
        return usageError(command == "public-key" ? "expected KEYFILE" : "expected SERVER_ROOT");

    SigningKey key;
    std::string error;
    if (command == "public-key") {
        if (!LoadSigningKey(args.positional[0], &key, &error))
            return Fail(error);
        std::printf("%s\n", key.publicHex.c_str());
        return 0;
    }
    if (args.rootKey.empty())
        return usageError("--root-key KEYFILE is required");
    if (command == "sign-keys" && args.buildKeys.empty())
        return usageError("at least one --build-key HEX[:DAYS] is required");
    if (command == "rotate" && args.newKey.empty())
        return usageError("--new-key KEYFILE is required");
    // The root key is held to what a signing key is: private, and off the
    // served tree.
    Signer root;
    if (!LoadSigner(args.rootKey, "", {{"SERVER_ROOT", args.positional[0]}}, &root, &error))
        return Fail(error);
    return command == "sign-keys" ? SignKeys(args, root.key) : Rotate(args, root.key);
}

}  // namespace lvpublish

#include "Signing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>

#include "Publish.h"
#include "ServerFolder.h"
#include "base/NameCase.h"
#include "base/Sha256.h"
#include "fileset/FilesToPatch.h"
#include "patch/Ed25519.h"
#include "patch/KeyList.h"
#include "patch/PatchServer.h"
#include "platform/DurableFile.h"
#include "state/TextFile.h"

namespace fs = std::filesystem;

namespace lvpublish {

namespace {

constexpr size_t kMaxKeyFileBytes = 16 * 1024;

const char kKeygenUsage[] =
    "Usage: lvpublish keygen KEYFILE\n"
    "\n"
    "Writes a new Ed25519 signing key to KEYFILE (readable by you only; an\n"
    "existing file is never overwritten) and prints its public key as the last\n"
    "line. Build the launcher with -DLV_TRUSTED_KEY=<that line>, then publish\n"
    "with --sign-key KEYFILE. Keep KEYFILE off the patch server: whoever holds\n"
    "it can sign builds that every such launcher installs.\n";

const char kResignUsage[] =
    "Usage: lvpublish resign SERVER_ROOT --sign-key KEYFILE [--state-dir DIR]\n"
    "                        [--expires DAYS] [--product NAME] [--channel NAME]\n"
    "\n"
    "Renews the signed statement of the current build under\n"
    "SERVER_ROOT/lanternvale_patch/ with a new expiry (default 7 days from now)\n"
    "and the same serial, without publishing a new build. Run it well before the\n"
    "statement expires: launchers refuse an expired one. Only a build whose\n"
    "manifest is the one its statement signed with KEYFILE, and whose serial is\n"
    "the highest signed with it, is renewed; any other build (unsigned, changed,\n"
    "or rolled back to) must be published again with --sign-key.\n"
    "  --state-dir DIR  the folder of the serial record (default: beside KEYFILE,\n"
    "                   as KEYFILE.serial).\n"
    "A renewed statement keeps the product and channel it was signed for.\n";

// What a refused resign tells the operator to do instead.
const char kPublishAgain[] =
    "publish the build again (lvpublish BUILD_DIR SERVER_ROOT --sign-key KEYFILE ...), which "
    "signs it with a new serial";

std::string Errno(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

bool WriteAll(int fd, const std::string& text) {
    return lvpublish::WriteAll(fd, text.data(), text.size());
}

// Written through a temporary name and renamed over `path`, so a launcher
// reads the old statement or the new one, never half of one.
bool ReplaceDurably(const std::string& folder, const std::string& name, const std::string& text,
                    std::string* error) {
    const std::string path = folder + "/" + name;
    bool folderSynced = false;
    if (!platform::ReplaceWithText(path, folder + "/.lvpublish-statement-XXXXXX", text, 0644,
                                   &folderSynced)) {
        *error = Errno("cannot write", path);
        return false;
    }
    if (!folderSynced) {
        *error = Errno("cannot flush", folder);
        return false;
    }
    return true;
}

// Whether `path` (canonical) is `folder` or lies inside it.
bool Inside(const fs::path& path, const std::string& folder) {
    std::error_code ec;
    fs::path canonical = fs::weakly_canonical(folder, ec);
    if (ec)
        return false;
    fs::path relative = path.lexically_relative(canonical);
    return !relative.empty() && *relative.begin() != "..";
}

// The serial of the statement file at `path` when `publicHex` signed it, in
// this format or in format 1 (whose signature covers every byte before its
// signature line as well); 0 otherwise.
uint64_t VerifiedSerialOf(const std::string& path, const std::string& publicHex) {
    std::string text;
    if (!ReadWholeFile(path, &text) || text.size() > kMaxStatementBytes)
        return 0;
    if (std::optional<BuildStatement> s = ParseStatement(text))
        return s->key == publicHex && VerifySignature(publicHex, StatementBody(*s), s->signature)
                   ? s->serial
                   : 0;
    const size_t at = text.rfind("\nsignature ");
    if (at == std::string::npos || text.back() != '\n' ||
        text.find("\nkey " + publicHex + "\n") == std::string::npos)
        return 0;
    const std::string signature = text.substr(at + 11, text.size() - at - 12);
    return VerifySignature(publicHex, std::string_view(text).substr(0, at + 1), signature)
               ? SerialOfStatementFile(path)
               : 0;
}

// The highest serial of the statements under `base` that verify with
// `publicHex`: each build's, and those prune kept. A statement anyone could
// have planted counts only when the key signed it.
uint64_t HighestVerifiedSerial(const std::string& base, const std::string& publicHex) {
    uint64_t highest = 0;
    auto consider = [&](const std::string& path) {
        highest = std::max(highest, VerifiedSerialOf(path, publicHex));
    };
    std::error_code ec;
    for (fs::directory_iterator it(base, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->is_directory(ec))
            continue;
        if (it->path().filename() != kRetiredStatementsName) {
            consider(it->path().string() + "/" + kStatementFileName);
            continue;
        }
        std::error_code inner;
        for (fs::directory_iterator kept(it->path(), inner), last; !inner && kept != last;
             kept.increment(inner))
            consider(kept->path().string());
    }
    consider(base + kStatementFileName);
    return highest;
}

// The keys of the served key list that names `publicHex` (as its root or one
// of its build keys), its root's signature verified: the keys that sign for
// the same launchers.
std::vector<std::string> FellowKeys(const std::string& base, const std::string& publicHex) {
    std::string text;
    std::optional<KeyList> list;
    if (ReadWholeFile(base + kKeyListFileName, &text))
        list = ParseKeyList(text);
    if (!list || !VerifiedKeyListSerial(list->root, text))
        return {};
    std::vector<std::string> keys = {list->root};
    for (const BuildKey& key : list->keys)
        keys.push_back(key.key);
    if (std::find(keys.begin(), keys.end(), publicHex) == keys.end())
        return {};
    return keys;
}

// Why a serial of more than 17 digits is refused, `what` being where it is.
std::string TooHigh(uint64_t serial, const std::string& what) {
    return what + " is " + std::to_string(serial) +
           ", at the end of the 18 digits launchers read: a launcher that took a serial so high " +
           "could soon take no later build, and lvpublish, counting up one a publish, never " +
           "gets there";
}

// The highest serial ever signed with the signer's key: its record, and the
// statements here that verify with the key. Without a record yet (a new key,
// or one from before the record moved beside the key) the statements alone
// say it, and the record starts with the next signing.
bool HighestEverSigned(const std::string& base, const Signer& signer, uint64_t* highest,
                       std::string* error, std::vector<std::string>* notes) {
    uint64_t recorded = 0;
    bool present = false;
    if (!ReadSerialRecord(signer.serialRecord, &recorded, &present, error))
        return false;
    if (recorded > kMaxIssuedSerial) {
        *error = TooHigh(recorded, "the serial in " + signer.serialRecord) +
                 "; restore the record from a backup, or write the highest serial you signed";
        return false;
    }
    uint64_t verified = HighestVerifiedSerial(base, signer.key.publicHex);
    // A key's first signing (a new build key after a rotation) continues
    // above what the keys that share its list signed.
    if (!present)
        for (const std::string& fellow : FellowKeys(base, signer.key.publicHex))
            verified = std::max(verified, HighestVerifiedSerial(base, fellow));
    *highest = std::max(recorded, verified);
    if (!present)
        notes->push_back(
            "the highest serial signed with this key is kept in " + signer.serialRecord +
            " from now on, started from the statements here that verify with it (" +
            (verified ? "highest " + std::to_string(verified) : std::string("none")) + ")");
    return true;
}

// One above any serial signed with the key, put on record before any
// statement carries it. A serial whose publish fails afterwards is simply
// never used.
bool IssueSerial(const std::string& base, const Signer& signer, uint64_t* serial,
                 std::string* error, std::vector<std::string>* notes) {
    uint64_t highest = 0;
    if (!HighestEverSigned(base, signer, &highest, error, notes))
        return false;
    if (highest >= kMaxIssuedSerial) {
        *error = TooHigh(highest, "the highest serial signed with this key") + "; if " +
                 signer.serialRecord +
                 " holds it, restore that from a backup; if a statement here that verifies " +
                 "with the key does, launchers that took it need a new key";
        return false;
    }
    *serial = highest + 1;
    return RaiseSerialRecord(signer.serialRecord, *serial, error);
}

// The manifest's hash, after checking that every line can be checked.
bool HashManifest(const std::string& manifestPath, std::string* hash, std::string* error) {
    std::string text;
    if (!ReadWholeFile(manifestPath, &text)) {
        *error = Errno("cannot read", manifestPath);
        return false;
    }
    FilesToPatch manifest;
    ForEachLine(manifestPath, [&](const std::string& line) { manifest.ParseLine(line); });
    for (const FilesToPatch::File& file : manifest.files) {
        // Its URL is the statement's own.
        if (SameNameIgnoringCase(file.name, kStatementFileName)) {
            *error = "cannot sign: the build holds a file named " + file.name +
                     ", which is where the build statement goes";
            return false;
        }
        if (file.Sha256Tag().empty()) {
            *error = "cannot sign: '" + file.name +
                     "' has no SHA256 tag, and launchers with a key refuse such a build";
            return false;
        }
    }
    *hash = Sha256Hex(text);
    return true;
}

int64_t Expiry(int days) {
    return static_cast<int64_t>(std::time(nullptr)) + int64_t{days} * 86400;
}

int Keygen(const std::string& path) {
    std::optional<SigningKey> key = GenerateSigningKey();
    if (!key) {
        std::fprintf(stderr, "lvpublish: cannot generate a key\n");
        return 1;
    }
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::fprintf(stderr, "lvpublish: %s\n",
                     (errno == EEXIST ? path + " exists already; it is never overwritten"
                                      : Errno("cannot create", path))
                         .c_str());
        return 1;
    }
    // The key goes in only once the file shows mode 0600: a file system
    // that keeps no modes would leave it for others to read.
    struct stat info {};
    bool isPrivate =
        ::fchmod(fd, 0600) == 0 && ::fstat(fd, &info) == 0 && (info.st_mode & 077) == 0;
    bool written = isPrivate && WriteAll(fd, key->privatePem) && ::fsync(fd) == 0;
    written = ::close(fd) == 0 && written;
    if (!written) {
        std::fprintf(stderr, "lvpublish: %s\n",
                     (isPrivate ? Errno("cannot write", path)
                                : path + " cannot be made readable by you only (mode 0600); " +
                                      "write the key to a file system that keeps modes")
                         .c_str());
        ::unlink(path.c_str());
        return 1;
    }
    std::printf("Wrote a new signing key to %s. Keep it secret and backed up.\n", path.c_str());
    std::printf("Build launchers with -DLV_TRUSTED_KEY= and this public key:\n");
    std::printf("%s\n", key->publicHex.c_str());
    return 0;
}

// Why resign refuses a statement that failed `check`.
std::string ResignRefusal(TrustCheck check, const std::string& folder, const BuildStatement* s,
                          const std::string& keyFile, uint64_t highest) {
    const std::string statement = "the statement of " + folder;
    const std::string instead = std::string("; ") + kPublishAgain + " instead";
    switch (check) {
        case TrustCheck::kMissing:
            return folder + " has no build statement, so nothing shows that it was published " +
                   "with your key; resign renews only what lvpublish signed" + instead;
        case TrustCheck::kWrongKey:
            return statement + " is signed by another key than " + keyFile +
                   "; renew it with that key, or " + kPublishAgain;
        case TrustCheck::kBadSignature:
            return statement + " does not verify with " + keyFile + instead;
        case TrustCheck::kManifestMismatch:
            return "the manifest of " + folder + " changed since it was signed" + instead;
        case TrustCheck::kOtherBuildFolder:
            return statement + " was signed for " + (s ? s->buildFolder : "another build folder") +
                   instead;
        case TrustCheck::kRollback:
            return folder + " carries serial " + (s ? std::to_string(s->serial) : "?") +
                   ", below serial " + std::to_string(highest) +
                   " signed with this key since, and launchers that took serial " +
                   std::to_string(highest) + " refuse it" + instead;
        default:
            return statement + ": " + TrustCheckText(check) + instead;
    }
}

int Resign(const std::string& serverRoot, const std::string& keyFile, const std::string& stateDir,
           int days, const std::string& product, const std::string& channel) {
    auto fail = [](const std::string& reason) {
        std::fprintf(stderr, "lvpublish: %s\n", reason.c_str());
        return 1;
    };
    Signer signer;
    std::string error;
    if (!LoadSigner(keyFile, stateDir, {{"SERVER_ROOT", serverRoot}}, &signer, &error))
        return fail(error);

    const std::string base = (fs::path(serverRoot) / kServerFolder).string() + "/";
    // The lock lvpublish takes to publish: no build switches meanwhile.
    ServerLock lock;
    if (!lock.Acquire(base, &error))
        return fail(error);

    std::string folder;
    if (!ReadCurrentFolder(base, &folder))
        return fail(Errno("cannot read", base + kBuildFolderFileName) +
                    "; there is no current build to resign");

    // Renewed only as signed before: this key, this manifest byte for byte
    // (which publish checked before it signed), this build folder, and no
    // serial signed since. Its expiry alone may have passed.
    const std::string buildDir = base + folder;
    std::string manifest;
    if (!ReadWholeFile(buildDir + kManifestFileName, &manifest))
        return fail(Errno("cannot read", buildDir + kManifestFileName));
    std::vector<std::string> notes;
    uint64_t highest = 0;
    if (!HighestEverSigned(base, signer, &highest, &error, &notes))
        return fail(error);
    std::string text;
    std::optional<std::string> fetched;
    if (ReadWholeFile(buildDir + kStatementFileName, &text))
        fetched = text;
    TrustExpectation expected;
    expected.trustedKey = signer.key.publicHex;
    expected.manifestSha256 = Sha256Hex(manifest);
    expected.buildFolder = folder;
    expected.highestAcceptedSerial = highest;
    expected.now = INT64_MIN;
    BuildStatement statement;
    std::optional<BuildStatement> parsed = fetched ? ParseStatement(*fetched) : std::nullopt;
    if (parsed) {
        expected.product = parsed->product;
        expected.channel = parsed->channel;
    }
    TrustCheck check = VerifyStatement(fetched, expected, &statement);
    if (check != TrustCheck::kPassed)
        return fail(ResignRefusal(check, folder, parsed ? &*parsed : nullptr, keyFile, highest));
    if (!KeepStatementTarget(statement, product, channel, &error))
        return fail(error);

    statement.expires = Expiry(days);
    if (!SignStatement(signer.key, &statement))
        return fail("cannot sign with " + keyFile);
    std::string dir = buildDir.empty() || buildDir.back() != '/'
                          ? buildDir
                          : buildDir.substr(0, buildDir.size() - 1);
    if (!RaiseSerialRecord(signer.serialRecord, highest, &error) ||
        !ReplaceDurably(dir, kStatementFileName, FormatStatement(statement), &error))
        return fail(error);
    DropServedSerialRecord(base, signer, &notes);
    std::printf("Signed %s (serial %llu), valid until %s\n", folder.c_str(),
                static_cast<unsigned long long>(statement.serial),
                FormatUtc(statement.expires).c_str());
    for (const std::string& note : notes)
        std::printf("note: %s\n", note.c_str());
    return 0;
}

}  // namespace

bool LoadSigningKey(const std::string& path, SigningKey* key, std::string* error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = Errno("cannot read the signing key", path);
        return false;
    }
    struct stat info {};
    std::string pem;
    // As ssh does with its keys: a key others may read is no longer secret.
    if (::fstat(fd, &info) == 0 && (info.st_mode & 077) != 0) {
        ::close(fd);
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
        *error = path + " can be read or written by others (mode " + mode +
                 "), and whoever reads it can sign builds that launchers install; make it " +
                 "private with: chmod 600 " + path +
                 " (if others may have copied it, make a new key instead)";
        return false;
    }
    if (S_ISREG(info.st_mode) && info.st_size <= static_cast<off_t>(kMaxKeyFileBytes)) {
        pem.resize(static_cast<size_t>(info.st_size));
        ssize_t n = ::read(fd, pem.data(), pem.size());
        pem.resize(n > 0 ? static_cast<size_t>(n) : 0);
    }
    ::close(fd);
    std::optional<SigningKey> read = ReadSigningKey(pem);
    if (!read) {
        *error = path + " is not an Ed25519 signing key (make one with lvpublish keygen)";
        return false;
    }
    *key = *read;
    return true;
}

bool LoadSigner(const std::string& keyFile, const std::string& stateDir,
                const std::vector<ServedFolder>& served, Signer* signer, std::string* error) {
    if (!LoadSigningKey(keyFile, &signer->key, error))
        return false;
    std::error_code ec;
    const fs::path key = fs::canonical(keyFile, ec);
    if (ec) {
        *error = "cannot resolve " + keyFile + ": " + ec.message();
        return false;
    }
    for (const ServedFolder& folder : served)
        if (Inside(key, folder.path)) {
            *error = "the signing key " + keyFile + " lies inside " + folder.label + " " +
                     folder.path +
                     (std::strcmp(folder.label, "BUILD_DIR") == 0
                          ? ", so it would be published to every player"
                          : ", which the patch server serves to every player") +
                     "; move it out, off the patch server (if it was ever published, make a " +
                     "new key)";
            return false;
        }
    fs::path record = key.string() + kSerialRecordSuffix;
    if (!stateDir.empty()) {
        fs::path dir = fs::weakly_canonical(stateDir, ec);
        if (ec || !fs::is_directory(dir, ec)) {
            *error = "--state-dir " + stateDir + " is not a folder";
            return false;
        }
        record = dir / (key.filename().string() + kSerialRecordSuffix);
        for (const ServedFolder& folder : served)
            if (Inside(dir, folder.path)) {
                *error = "--state-dir " + stateDir + " lies inside " + folder.label + " " +
                         folder.path + "; name a folder of yours off the patch server";
                return false;
            }
    }
    signer->keyFile = keyFile;
    signer->serialRecord = record.string();
    return true;
}

bool ParseExpiryDays(const std::string& text, int* days, std::string* error) {
    if (text.empty()) {
        *days = kDefaultExpiryDays;
        return true;
    }
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || value > kMaxExpiryDays) {
            value = -1;
            break;
        }
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > kMaxExpiryDays) {
        *error =
            "--expires takes a whole number of days from 1 to " + std::to_string(kMaxExpiryDays);
        return false;
    }
    *days = value;
    return true;
}

bool SignStagedBuild(const std::string& base, const std::string& stagedDir,
                     const std::string& buildFolder, const Signer& signer,
                     const StatementTarget& target, int expiryDays, std::string* error,
                     std::vector<std::string>* notes) {
    BuildStatement statement;
    statement.product = target.product;
    statement.channel = target.channel;
    statement.buildFolder = buildFolder;
    if (!HashManifest(stagedDir + "/" + kManifestFileName, &statement.manifestSha256, error) ||
        !IssueSerial(base, signer, &statement.serial, error, notes))
        return false;
    statement.expires = Expiry(expiryDays);
    if (!SignStatement(signer.key, &statement)) {
        *error = "cannot sign the build";
        return false;
    }
    if (!ReplaceDurably(stagedDir, kStatementFileName, FormatStatement(statement), error))
        return false;
    notes->push_back("signed as serial " + std::to_string(statement.serial) + ", valid until " +
                     FormatUtc(statement.expires) + " (renew with lvpublish resign)");
    return true;
}

void DropServedSerialRecord(const std::string& base, const Signer& signer,
                            std::vector<std::string>* notes) {
    const std::string path = base + kServedSerialRecordName;
    std::string said;
    if (!ReadFirstLine(path, 32, &said) && ::access(path.c_str(), F_OK) != 0)
        return;
    if (::unlink(path.c_str()) != 0) {
        notes->push_back(Errno("cannot remove", path) +
                         "; lvpublish no longer reads it, remove it by hand");
        return;
    }
    // Its words are shown only when they are a number: anyone could have
    // written them, terminal escapes included.
    bool number =
        !said.empty() && said.size() <= 18 && std::all_of(said.begin(), said.end(), ::isdigit);
    notes->push_back("removed " + path + (number ? " (it said " + said + ")" : std::string()) +
                     ": a serial record in the served tree could have been planted by anyone " +
                     "who can write there, so lvpublish keeps the record with the key now");
    // A genuine one may name a serial whose statement prune removed before
    // statements were kept: only the operator knows.
    uint64_t recorded = 0;
    bool present = false;
    std::string ignored;
    if (number && std::stoull(said) <= kMaxIssuedSerial &&
        ReadSerialRecord(signer.serialRecord, &recorded, &present, &ignored) &&
        std::stoull(said) > recorded)
        notes->push_back("if you did sign serial " + said + ", write it into " +
                         signer.serialRecord + " and publish again");
}

bool KeepRetiredStatements(const std::string& base, const std::vector<std::string>& folders,
                           std::string* error) {
    const std::string kept = base + kRetiredStatementsName;
    for (const std::string& folder : folders) {
        std::string text;
        if (!ReadWholeFile(base + folder + kStatementFileName, &text))
            continue;
        // Named by content: a statement is kept once, and none replaces another.
        if (::mkdir(kept.c_str(), 0755) != 0 && errno != EEXIST) {
            *error = Errno("cannot create", kept);
            return false;
        }
        if (!ReplaceFileDurably(kept + "/" + Sha256Hex(text) + ".txt", text, error))
            return false;
    }
    return true;
}

bool IsSigningCommand(const char* command) {
    return std::strcmp(command, "keygen") == 0 || std::strcmp(command, "resign") == 0;
}

int RunSigningCommand(int argc, char** argv) {
    const std::string command = argv[1];
    const char* usage = command == "keygen" ? kKeygenUsage : kResignUsage;
    auto usageError = [&](const std::string& reason) {
        std::fprintf(stderr, "lvpublish %s: %s\n%s", command.c_str(), reason.c_str(), usage);
        return 2;
    };
    std::vector<std::string> positional;
    std::string keyFile;
    std::string stateDir;
    std::string expires;
    std::string product;
    std::string channel;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(usage, stdout);
            return 0;
        }
        std::string* value = nullptr;
        if (command == "resign" && arg == "--sign-key")
            value = &keyFile;
        else if (command == "resign" && arg == "--expires")
            value = &expires;
        else if (command == "resign" && arg == "--state-dir")
            value = &stateDir;
        else if (command == "resign" && arg == "--product")
            value = &product;
        else if (command == "resign" && arg == "--channel")
            value = &channel;
        if (value) {
            if (i + 1 >= argc || !value->empty())
                return usageError(arg + " needs one value");
            *value = argv[++i];
            continue;
        }
        if (arg.size() > 1 && arg[0] == '-')
            return usageError("unknown option '" + arg + "'");
        positional.push_back(arg);
    }
    if (positional.size() != 1)
        return usageError(command == "keygen" ? "expected KEYFILE" : "expected SERVER_ROOT");
    if (command == "keygen")
        return Keygen(positional[0]);
    if (keyFile.empty())
        return usageError("--sign-key KEYFILE is required");
    int days = 0;
    std::string error;
    if (!ParseExpiryDays(expires, &days, &error))
        return usageError(error);
    return Resign(positional[0], keyFile, stateDir, days, product, channel);
}

}  // namespace lvpublish

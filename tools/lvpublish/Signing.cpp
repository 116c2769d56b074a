#include "Signing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>

#include "Publish.h"
#include "ServerFolder.h"
#include "fileset/FilesToPatch.h"
#include "patch/PatchServer.h"
#include "patch/Sha256.h"
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
    "Usage: lvpublish resign SERVER_ROOT --sign-key KEYFILE [--expires DAYS]\n"
    "                        [--product NAME] [--channel NAME]\n"
    "\n"
    "Renews the signed statement of the current build under\n"
    "SERVER_ROOT/lanternvale_patch/ with a new expiry (default 7 days from now)\n"
    "without publishing a new build. Run it well before the statement expires:\n"
    "launchers refuse an expired one. A current build published without a\n"
    "signature is signed as it stands, if every file carries a SHA256 tag, for\n"
    "--product (default lantern-vale) and --channel (default live); a signed one\n"
    "keeps the product and channel it was signed for.\n";

std::string Errno(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

bool WriteAll(int fd, const std::string& text) {
    return lvpublish::WriteAll(fd, text.data(), text.size());
}

bool SyncFolder(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

// Written through a temporary name and renamed over `path`, so a launcher
// reads the old statement or the new one, never half of one.
bool ReplaceDurably(const std::string& folder, const std::string& name, const std::string& text,
                    std::string* error) {
    const std::string path = folder + "/" + name;
    std::string temporary = folder + "/.lvpublish-statement-XXXXXX";
    int fd = ::mkstemp(temporary.data());
    bool written = fd >= 0 && ::fchmod(fd, 0644) == 0 && WriteAll(fd, text) && ::fsync(fd) == 0;
    if (fd >= 0)
        written = ::close(fd) == 0 && written;
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        *error = Errno("cannot write", path);
        if (fd >= 0)
            ::unlink(temporary.c_str());
        return false;
    }
    if (!SyncFolder(folder)) {
        *error = Errno("cannot flush", folder);
        return false;
    }
    return true;
}

std::optional<BuildStatement> ReadStatementFile(const std::string& path) {
    std::string text;
    if (!ReadWholeFile(path, &text))
        return std::nullopt;
    return ParseStatement(text);
}

// The highest serial of any build's statement on this server.
uint64_t HighestStatementSerial(const std::string& base) {
    uint64_t highest = 0;
    std::error_code ec;
    for (fs::directory_iterator it(base, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->is_directory(ec))
            continue;
        highest = std::max(highest,
                           SerialOfStatementFile(it->path().string() + "/" + kStatementFileName));
    }
    return std::max(highest, SerialOfStatementFile(base + kStatementFileName));
}

// One above any serial signed here, put on record before any statement
// carries it: prune and rollback then cannot bring a later one below it. A
// serial whose publish fails afterwards is simply never used.
bool IssueSerial(const std::string& base, uint64_t* serial, std::string* error) {
    uint64_t recorded = 0;
    if (!ReadSerialRecord(base, &recorded, error))
        return false;
    *serial = std::max(recorded, HighestStatementSerial(base)) + 1;
    return RaiseSerialRecord(base, *serial, error);
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
    bool written = ::fchmod(fd, 0600) == 0 && WriteAll(fd, key->privatePem) && ::fsync(fd) == 0;
    written = ::close(fd) == 0 && written;
    if (!written) {
        std::fprintf(stderr, "lvpublish: %s\n", Errno("cannot write", path).c_str());
        ::unlink(path.c_str());
        return 1;
    }
    std::printf("Wrote a new signing key to %s. Keep it secret and backed up.\n", path.c_str());
    std::printf("Build launchers with -DLV_TRUSTED_KEY= and this public key:\n");
    std::printf("%s\n", key->publicHex.c_str());
    return 0;
}

int Resign(const std::string& serverRoot, const std::string& keyFile, int days,
           const std::string& product, const std::string& channel) {
    auto fail = [](const std::string& reason) {
        std::fprintf(stderr, "lvpublish: %s\n", reason.c_str());
        return 1;
    };
    SigningKey key;
    std::string error;
    StatementTarget target;
    if (!LoadSigningKey(keyFile, &key, &error) ||
        !ParseStatementTarget(product, channel, &target, &error))
        return fail(error);

    const std::string base = (fs::path(serverRoot) / kServerFolder).string() + "/";
    // The lock lvpublish takes to publish: no build switches meanwhile.
    int lock = ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (lock < 0 || ::flock(lock, LOCK_EX) != 0) {
        if (lock >= 0)
            ::close(lock);
        return fail(Errno("cannot lock", base));
    }
    struct Unlock {
        int fd;
        ~Unlock() { ::close(fd); }
    } unlock{lock};

    std::string folder;
    bool haveLine = false;
    if (!ForEachLine(base + kBuildFolderFileName, [&](const std::string& line) {
            if (!haveLine)
                folder = line;
            haveLine = true;
        }))
        return fail(Errno("cannot read", base + kBuildFolderFileName) +
                    "; there is no current build to resign");

    const std::string buildDir = base + folder;
    std::string hash;
    if (!HashManifest(buildDir + kManifestFileName, &hash, &error))
        return fail(error);

    BuildStatement statement;
    std::optional<BuildStatement> current = ReadStatementFile(buildDir + kStatementFileName);
    if (current) {
        if (current->key != key.publicHex)
            return fail("the current statement of " + folder + " is signed by another key than " +
                        keyFile);
        if (!VerifySignature(key.publicHex, StatementBody(*current), current->signature))
            return fail("the current statement of " + folder +
                        " does not verify; publish the build again instead");
        if (current->manifestSha256 != hash || current->buildFolder != folder)
            return fail("the manifest of " + folder +
                        " changed since it was signed; publish the build again instead");
        if (!KeepStatementTarget(*current, product, channel, &error))
            return fail(error);
        // Same build, same serial: only the expiry moves.
        statement = *current;
    } else {
        statement.product = target.product;
        statement.channel = target.channel;
        statement.buildFolder = folder;
        statement.manifestSha256 = hash;
        if (!IssueSerial(base, &statement.serial, &error))
            return fail(error);
    }
    statement.expires = Expiry(days);
    if (!SignStatement(key, &statement))
        return fail("cannot sign with " + keyFile);
    std::string dir = buildDir.empty() || buildDir.back() != '/'
                          ? buildDir
                          : buildDir.substr(0, buildDir.size() - 1);
    if (!ReplaceDurably(dir, kStatementFileName, FormatStatement(statement), &error))
        return fail(error);
    std::printf("Signed %s (serial %llu), valid until %s\n", folder.c_str(),
                static_cast<unsigned long long>(statement.serial),
                FormatUtc(statement.expires).c_str());
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
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
        info.st_size <= static_cast<off_t>(kMaxKeyFileBytes)) {
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
                     const std::string& buildFolder, const SigningKey& key,
                     const StatementTarget& target, int expiryDays, std::string* error,
                     std::string* summary) {
    BuildStatement statement;
    statement.product = target.product;
    statement.channel = target.channel;
    statement.buildFolder = buildFolder;
    if (!HashManifest(stagedDir + "/" + kManifestFileName, &statement.manifestSha256, error) ||
        !IssueSerial(base, &statement.serial, error))
        return false;
    statement.expires = Expiry(expiryDays);
    if (!SignStatement(key, &statement)) {
        *error = "cannot sign the build";
        return false;
    }
    if (!ReplaceDurably(stagedDir, kStatementFileName, FormatStatement(statement), error))
        return false;
    *summary = "signed as serial " + std::to_string(statement.serial) + ", valid until " +
               FormatUtc(statement.expires) + " (renew with lvpublish resign)";
    return true;
}

bool KeepHighestSerial(const std::string& base, std::string* error) {
    return RaiseSerialRecord(base, HighestStatementSerial(base), error);
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
    return Resign(positional[0], keyFile, days, product, channel);
}

}  // namespace lvpublish

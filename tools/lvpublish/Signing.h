#pragma once
// Signing builds for launchers built with a trusted key: the operator's
// Ed25519 key file, the build statement written beside each signed build's
// manifest, and renewing the current build's statement before it expires.

#include <cstdint>
#include <string>
#include <vector>

#include "Channel.h"
#include "patch/SigningKey.h"
#include "patch/Trust.h"

namespace lvpublish {

inline constexpr int kDefaultExpiryDays = 7;
inline constexpr int kMaxExpiryDays = 3650;

// The highest serial lvpublish issues. Launchers read serials of up to 18
// digits; counting up one a publish never leaves 17, so a higher record was
// written by someone else, and a launcher that took a serial at the end of
// the range could never take a later build.
inline constexpr uint64_t kMaxIssuedSerial = 99'999'999'999'999'999;
// The serial record's name: the key file's name and this.
inline constexpr const char* kSerialRecordSuffix = ".serial";

// Reads an Ed25519 private key file written by `lvpublish keygen`, refusing
// one that group or others may read or write.
bool LoadSigningKey(const std::string& path, SigningKey* key, std::string* error);

// The key lvpublish signs with and what it keeps for it, all with the
// operator: the highest serial ever signed with the key, in KEYFILE.serial
// beside the key file, or in a state folder the operator names.
struct Signer {
    SigningKey key;
    std::string keyFile;       // as given
    std::string serialRecord;  // path of the record
};

// A folder whose files reach players, by the name the operator gave it.
struct ServedFolder {
    const char* label;  // "BUILD_DIR", "SERVER_ROOT"
    std::string path;
};

// LoadSigningKey, and refuses a key file or state folder inside one of
// `served` (canonical paths): a key there would go out to every player.
bool LoadSigner(const std::string& keyFile, const std::string& stateDir,
                const std::vector<ServedFolder>& served, Signer* signer, std::string* error);

// "--expires DAYS" as given (empty: the default) into days.
bool ParseExpiryDays(const std::string& text, int* days, std::string* error);

// Writes and flushes the statement of a build staged in `stagedDir`, which
// becomes `buildFolder` under `base` (SERVER_ROOT/lanternvale_patch/), for
// `target`'s product and channel. Its serial is one above any signed with
// the key before: the signer's record, and the statements under `base` that
// verify with the key. Every manifest line must carry a SHA256 tag. `notes`
// says what was signed.
bool SignStagedBuild(const std::string& base, const std::string& stagedDir,
                     const std::string& buildFolder, const Signer& signer,
                     const StatementTarget& target, int expiryDays, std::string* error,
                     std::vector<std::string>* notes);

// After a signing went ahead: removes the serial record older lvpublish kept
// in the served tree, which nothing trusts any more, and says what it held.
void DropServedSerialRecord(const std::string& base, const Signer& signer,
                            std::vector<std::string>* notes);

// Keeps the statements of `folders` (builds under `base` about to be
// removed) under kRetiredStatementsName, so their serials still count.
bool KeepRetiredStatements(const std::string& base, const std::vector<std::string>& folders,
                           std::string* error);

// The commands `keygen KEYFILE` and `resign SERVER_ROOT --sign-key KEYFILE
// [--state-dir DIR] [--expires DAYS] [--product NAME] [--channel NAME]`;
// true when argv[1] names one.
bool IsSigningCommand(const char* command);
int RunSigningCommand(int argc, char** argv);

}  // namespace lvpublish

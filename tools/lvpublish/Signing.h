#pragma once
// Signing builds for launchers built with a trusted key: the operator's
// Ed25519 key file, the build statement written beside each signed build's
// manifest, and renewing the current build's statement before it expires.

#include <string>

#include "Channel.h"
#include "patch/Trust.h"

namespace lvpublish {

inline constexpr int kDefaultExpiryDays = 7;
inline constexpr int kMaxExpiryDays = 3650;

// Reads an Ed25519 private key file written by `lvpublish keygen`.
bool LoadSigningKey(const std::string& path, SigningKey* key, std::string* error);

// "--expires DAYS" as given (empty: the default) into days.
bool ParseExpiryDays(const std::string& text, int* days, std::string* error);

// Writes and flushes the statement of a build staged in `stagedDir`, which
// becomes `buildFolder` under `base` (SERVER_ROOT/lanternvale_patch/), for
// `target`'s product and channel. Its serial is one above any signed for
// `base` before (kSerialRecordName keeps the highest). Every manifest line must carry a SHA256 tag.
// `summary` says what was signed.
bool SignStagedBuild(const std::string& base, const std::string& stagedDir,
                     const std::string& buildFolder, const SigningKey& key,
                     const StatementTarget& target, int expiryDays, std::string* error,
                     std::string* summary);

// Puts the highest serial of the statements under `base` on record, before
// builds holding them are removed.
bool KeepHighestSerial(const std::string& base, std::string* error);

// The commands `keygen KEYFILE` and `resign SERVER_ROOT --sign-key KEYFILE
// [--expires DAYS] [--product NAME] [--channel NAME]`; true when argv[1]
// names one.
bool IsSigningCommand(const char* command);
int RunSigningCommand(int argc, char** argv);

}  // namespace lvpublish

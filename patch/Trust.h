#pragma once
// Signed build statements. The operator signs, with an Ed25519 key, a small
// text that binds one build: the product and channel it was published for,
// the build folder, a serial that only grows, the SHA-256 of that build's
// current2.txt and an expiry time. A launcher built with the operator's
// public key (its root key) installs nothing until the statement of the
// build it is about to patch from verifies; without a key none of this runs.
// The statement is signed by the root key itself or by a build key that a
// key list signed by the root key names (KeyList.h).
//
// The statement's text: Statement.h.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "patch/Limits.h"
#include "patch/Statement.h"
#include "state/LauncherFiles.h"

class FilesToPatch;
struct RunContext;

// Which check a statement failed, in the order they are made.
enum class TrustCheck {
    kPassed,
    kMissing,           // the server has no statement for the build
    kMalformed,         // not a statement, or too long
    kWrongKey,          // signed by a key neither the launcher's nor listed by it
    kBadSignature,      // the signature does not verify
    kOtherChannel,      // published for another product or channel
    kManifestMismatch,  // the manifest is not the one the statement names
    kOtherBuildFolder,  // the statement is for another build folder
    kRollback,          // serial below the highest accepted before
    kExpired,
    kUnhashedEntry,  // a manifest entry without a SHA256 tag
};

// One line for the player and for lvpatch: which check failed.
const char* TrustCheckText(TrustCheck check);

struct TrustExpectation {
    std::string trustedKey;  // the root key, 64 hex digits
    // The server's key list as fetched; nullopt when none was (KeyList.h).
    std::optional<std::string> keyList;
    std::string product;
    std::string channel;
    std::string manifestSha256;
    std::string buildFolder;
    uint64_t highestAcceptedSerial = 0;
    int64_t now = 0;
};

// `text` is the statement as fetched, nullopt when the server had none.
TrustCheck VerifyStatement(const std::optional<std::string>& text, const TrustExpectation& expected,
                           BuildStatement* accepted = nullptr);

// The public key the launcher trusts: the one it was built with
// (LV_TRUSTED_KEY), empty when it was built without one.
const std::string& TrustedKey();
bool TrustRequired();
// Tests only: stands in for the built-in key. Nothing a player controls
// reaches this.
void SetTrustedKeyForTests(const std::string& publicHex);
// The product and channel whose builds this launcher takes (LV_PRODUCT,
// LV_CHANNEL).
const std::string& AcceptedProduct();
const std::string& AcceptedChannel();
// Tests only, like SetTrustedKeyForTests.
void SetAcceptedChannelForTests(const std::string& product, const std::string& channel);

// The launcher's record of the highest serial it accepted (0 without one),
// saved whole through a temporary file.
uint64_t ReadAcceptedSerial();
bool SaveAcceptedSerial(uint64_t serial);

// The check a patch run with a key makes right after fetching the manifest,
// before any line of it is read: fetches the statement of the build path and
// verifies it against the staged current2.txt's SHA-256, the build folder,
// the saved serial and the clock. Returns the failed check, or kPassed with
// the statement in `accepted`.
TrustCheck CheckBuildStatement(RunContext& run, BuildStatement* accepted);
// Once the authenticated manifest is read: every entry must carry a SHA256
// tag. Saves the serial of a build that passes; returns the failed check, or
// kPassed.
TrustCheck AcceptBuild(const FilesToPatch& filesToPatch, const BuildStatement& accepted);

// A build whose statement failed a check; the run refuses it at stage 0.
class UntrustedBuildException {
  public:
    explicit UntrustedBuildException(TrustCheck check) : check(check) {}
    TrustCheck check;
};

// With a trusted key the run fetches build_folder.txt, current2.txt, the
// statement and (for a statement not signed by the root key) the key list
// beside their local copies, under these names, and reads them
// there. The local
// copies are replaced only once the build's statement is verified, so a
// refused build, a kill or a closed window in the middle of the check never
// leaves an unverified manifest where the window reads its programs from.
// Without a key: the local names themselves, as always.
std::string RunCopyName(const char* localName);
// Removes what a run left staged (before a run's first fetch and after a
// refused build). Nothing without a key.
void DropUnverifiedCopies();
// Puts the staged copies of a verified build in place of the local copies;
// false when one could not be (a copy marked read-only, say). True without a
// key.
bool KeepVerifiedCopies();

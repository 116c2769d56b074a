#include "patch/LocalTrust.h"

#include <optional>

#include "base/Sha256.h"
#include "fileset/FilesToPatch.h"
#include "patch/KeyList.h"
#include "patch/PatchServer.h"
#include "patch/Trust.h"
#include "state/TextFile.h"

namespace {

// The local statement verifies with the launcher's key and signs the local
// current2.txt and build_folder.txt as they are now. Neither the serial nor
// the expiries (the statement's, a build key's) matter here: they bound what
// a run may install, not what an installed, verified build may start.
bool LocalCopiesVerified() {
    std::string text;
    std::string buildFolder;
    if (!ReadWholeFile(kStatementFileName, &text) || text.size() > kMaxStatementBytes ||
        !ReadFirstLine(kBuildFolderFileName, kBuildFolderLimit, &buildFolder))
        return false;
    TrustExpectation expected;
    expected.trustedKey = TrustedKey();
    expected.product = AcceptedProduct();
    expected.channel = AcceptedChannel();
    std::string keyList;
    if (ReadWholeFile(kKeyListFileName, &keyList) && keyList.size() <= kMaxKeyListBytes)
        expected.keyList = keyList;
    expected.manifestSha256 = Sha256FileHex(kManifestFileName).value_or("");
    expected.buildFolder = buildFolder;
    return VerifyStatement(text, expected) == TrustCheck::kPassed;
}

// Backslashes separate folders in a manifest as slashes do.
std::string Slashed(std::string name) {
    for (char& c : name)
        if (c == '\\')
            c = '/';
    return name;
}

}  // namespace

bool LoadVerifiedLocalManifest(FilesToPatch& manifest) {
    if (TrustRequired() && !LocalCopiesVerified())
        return false;
    LoadLocalManifest(manifest);
    return true;
}

bool MayStartProgram(const std::string& program) {
    if (!TrustRequired())
        return true;
    FilesToPatch manifest;
    if (!LoadVerifiedLocalManifest(manifest))
        return false;
    const std::string wanted = Slashed(program);
    for (const FilesToPatch::File& entry : manifest.files) {
        if (Slashed(entry.name) != wanted)
            continue;
        // Hashed every time, whatever a record says: one file, just before it
        // starts, and a record in the game folder is no more trustworthy than
        // the program beside it.
        const std::string expected = entry.Sha256Tag();
        return !expected.empty() && Sha256FileHex(wanted) == expected;
    }
    return false;
}

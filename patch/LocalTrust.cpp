#include "patch/LocalTrust.h"

#include <optional>

#include "base/Sha256.h"
#include "fileset/FilesToPatch.h"
#include "patch/KeyList.h"
#include "patch/PatchServer.h"
#include "patch/Trust.h"
#include "platform/Platform.h"
#include "state/TextFile.h"
#include "state/VerifiedFiles.h"

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
        const std::string expected = entry.Sha256Tag();
        std::optional<platform::FileStamp> stamp = platform::StampOf(wanted);
        if (expected.empty() || !stamp)
            return false;
        // The record of a keyed run says which files it hashed; any other
        // state of the file is hashed now.
        VerifiedFiles record;
        return record.Holds(entry.name, *stamp, expected) || Sha256FileHex(wanted) == expected;
    }
    return false;
}

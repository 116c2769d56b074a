#pragma once
// The mirror list a publish writes beside build_folder.txt (its format:
// patch/MirrorList.h): the URLs given with --mirror, or the list's URLs
// carried over from the publish before, signed for the new build when the
// build is signed.

#include <string>
#include <vector>

#include "Channel.h"
#include "Signing.h"

namespace lvpublish {

// Checks the URLs given with --mirror, in place: each must be a base URL
// that ends in /lanternvale_patch/ (a missing last '/' is added), none twice,
// at most as many as a launcher reads. False with one line in `error`.
bool CheckMirrorUrls(std::vector<std::string>* urls, std::string* error);

// The URLs of the list under `base`: empty without one. A list that cannot
// be read is reported in `notes` and carried over as none. For a signed
// publish (`signerKey`, the public key) only a list that key signed is
// carried over: anyone who can write the served tree could have left one.
std::vector<std::string> ReadMirrorUrls(const std::string& base, const std::string& signerKey,
                                        std::vector<std::string>* notes);

// What the build being published binds a signed list to.
struct MirrorBinding {
    const Signer* signer = nullptr;  // none: the list is written unsigned
    StatementTarget target;
    std::string buildFolder;
    std::string manifestSha256;
};

// Replaces the list under `base` durably with `urls`, or removes it when
// `urls` is empty. False with one line in `error`.
bool WriteMirrorList(const std::string& base, const std::vector<std::string>& urls,
                     const MirrorBinding& binding, std::string* error);

}  // namespace lvpublish

#include "MirrorFile.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "Publish.h"
#include "patch/Ed25519.h"
#include "patch/MirrorList.h"
#include "patch/SigningKey.h"
#include "platform/DurableFile.h"
#include "state/TextFile.h"

namespace lvpublish {

namespace {

std::string SystemError(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

}  // namespace

bool CheckMirrorUrls(std::vector<std::string>* urls, std::string* error) {
    if (urls->size() > kMaxMirrors) {
        *error = "--mirror given " + std::to_string(urls->size()) + " times; launchers read " +
                 std::to_string(kMaxMirrors) + " mirrors at most";
        return false;
    }
    const std::string tree = std::string("/") + kServerFolder + "/";
    for (size_t i = 0; i < urls->size(); ++i) {
        std::string& url = (*urls)[i];
        if (!url.empty() && url.back() != '/')
            url.push_back('/');
        std::optional<ServerAddress> address = ParseServerAddress(url);
        if (!address) {
            *error = "--mirror " + url + ": not a base URL such as https://mirror.example/" +
                     kServerFolder +
                     "/ (http or https, a host, an optional port, a path of letters, digits "
                     "and -._~)";
            return false;
        }
        if (address->serverPath.size() < tree.size() ||
            address->serverPath.compare(address->serverPath.size() - tree.size(), tree.size(),
                                        tree) != 0) {
            *error = "--mirror " + url + ": a mirror serves a copy of SERVER_ROOT/" +
                     kServerFolder + "/, so its URL ends in " + tree;
            return false;
        }
        if (std::find(urls->begin(), urls->begin() + static_cast<long>(i), url) !=
            urls->begin() + static_cast<long>(i)) {
            *error = "--mirror " + url + " given twice";
            return false;
        }
    }
    return true;
}

std::vector<std::string> ReadMirrorUrls(const std::string& base, const std::string& signerKey,
                                        std::vector<std::string>* notes) {
    const std::string path = base + kMirrorListFileName;
    std::string text;
    if (!ReadWholeFile(path, &text)) {
        if (errno != ENOENT)
            notes->push_back(SystemError("cannot read", path) +
                             "; publish with --mirror to write the list again");
        return {};
    }
    std::optional<MirrorList> list = ParseMirrorList(text);
    if (!list) {
        notes->push_back(path + " is not a mirror list and is dropped; publish with --mirror " +
                         "to write one");
        return {};
    }
    if (!signerKey.empty() &&
        (list->key != signerKey ||
         !VerifySignature(list->key, MirrorListBody(*list), list->signature))) {
        notes->push_back(path + " was not signed with this key and is dropped; give its " +
                         "mirrors with --mirror to sign them");
        return {};
    }
    return list->mirrors;
}

bool WriteMirrorList(const std::string& base, const std::vector<std::string>& urls,
                     const MirrorBinding& binding, std::string* error) {
    const std::string path = base + kMirrorListFileName;
    if (urls.empty()) {
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            *error = SystemError("cannot remove", path);
            return false;
        }
        return true;
    }
    MirrorList list;
    list.mirrors = urls;
    if (binding.signer) {
        list.key = binding.signer->key.publicHex;
        list.product = binding.target.product;
        list.channel = binding.target.channel;
        list.buildFolder = binding.buildFolder;
        list.manifestSha256 = binding.manifestSha256;
        std::optional<std::string> signature =
            SignMessage(binding.signer->key, MirrorListBody(list));
        if (!signature) {
            *error = "cannot sign the mirror list";
            return false;
        }
        list.signature = *signature;
    }
    bool synced = false;
    if (!platform::ReplaceWithText(path, base + ".lvpublish-mirrors-XXXXXX", FormatMirrorList(list),
                                   0644, &synced)) {
        *error = SystemError("cannot write", path);
        return false;
    }
    if (!synced) {
        *error = SystemError("cannot flush the folder of", path);
        return false;
    }
    return true;
}

}  // namespace lvpublish

#include "patch/MirrorList.h"

#include <algorithm>

#include "patch/Ed25519.h"
#include "patch/Statement.h"
#include "patch/TrustText.h"

namespace {

constexpr const char kMagic[] = "lantern-vale-mirrors 1";
constexpr size_t kMaxBuildFolder = 255;

bool IsHostChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-';
}

bool IsPathChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~' || c == '/';
}

bool IsBuildFolder(std::string_view folder) {
    if (folder.empty() || folder.size() > kMaxBuildFolder)
        return false;
    return std::all_of(folder.begin(), folder.end(), [](char c) { return c > ' ' && c <= '~'; });
}

}  // namespace

std::string ServerAddress::Base() const {
    return scheme + "://" + host + ":" + std::to_string(port) + serverPath;
}

std::string ServerAddress::Url(std::string_view relative) const {
    return Base() + std::string(relative);
}

std::optional<ServerAddress> ParseServerAddress(std::string_view url) {
    if (url.size() > kMaxMirrorUrl)
        return std::nullopt;
    ServerAddress address;
    for (const char* scheme : {"https", "http"}) {
        const std::string prefix = std::string(scheme) + "://";
        if (url.substr(0, prefix.size()) == prefix) {
            address.scheme = scheme;
            url.remove_prefix(prefix.size());
            break;
        }
    }
    if (address.scheme.empty())
        return std::nullopt;
    const size_t slash = url.find('/');
    if (slash == std::string_view::npos)
        return std::nullopt;
    std::string_view authority = url.substr(0, slash);
    std::string_view path = url.substr(slash);

    std::string_view port;
    if (!authority.empty() && authority.front() == '[') {
        const size_t close = authority.find(']');
        if (close == std::string_view::npos || close < 3)
            return std::nullopt;
        std::string_view inside = authority.substr(1, close - 1);
        if (!std::all_of(inside.begin(), inside.end(), [](char c) {
                return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') ||
                       c == ':' || c == '.';
            }))
            return std::nullopt;
        address.host = std::string(authority.substr(0, close + 1));
        authority.remove_prefix(close + 1);
        if (!authority.empty()) {
            if (authority.front() != ':')
                return std::nullopt;
            port = authority.substr(1);
            if (port.empty())
                return std::nullopt;
        }
    } else {
        const size_t colon = authority.find(':');
        std::string_view host = authority.substr(0, colon);
        if (host.empty() || !std::all_of(host.begin(), host.end(), IsHostChar) ||
            host.front() == '.' || host.front() == '-')
            return std::nullopt;
        address.host = std::string(host);
        if (colon != std::string_view::npos) {
            port = authority.substr(colon + 1);
            if (port.empty())
                return std::nullopt;
        }
    }
    address.port = address.scheme == "https" ? 443 : 80;
    if (!port.empty()) {
        if (port.size() > 5 || !trusttext::IsDigits(port) || port[0] == '0')
            return std::nullopt;
        const int value = std::stoi(std::string(port));
        if (value > 65535)
            return std::nullopt;
        address.port = value;
    }

    if (path.back() != '/' || !std::all_of(path.begin(), path.end(), IsPathChar) ||
        path.find("//") != std::string_view::npos)
        return std::nullopt;
    for (size_t at = 0; at < path.size();) {
        const size_t next = path.find('/', at + 1);
        std::string_view part = path.substr(
            at + 1, next == std::string_view::npos ? std::string_view::npos : next - at - 1);
        if (part == "." || part == "..")
            return std::nullopt;
        if (next == std::string_view::npos)
            break;
        at = next;
    }
    address.serverPath = std::string(path);
    return address;
}

std::string MirrorListBody(const MirrorList& list) {
    std::string body = std::string(kMagic) + "\n";
    if (list.Signed()) {
        body += "key " + list.key + "\n";
        body += "product " + list.product + "\n";
        body += "channel " + list.channel + "\n";
        body += "build-folder " + list.buildFolder + "\n";
        body += "manifest-sha256 " + list.manifestSha256 + "\n";
    }
    for (const std::string& mirror : list.mirrors)
        body += "mirror " + mirror + "\n";
    return body;
}

std::string FormatMirrorList(const MirrorList& list) {
    std::string text = MirrorListBody(list);
    if (list.Signed())
        text += "signature " + list.signature + "\n";
    return text;
}

std::optional<MirrorList> ParseMirrorList(std::string_view text) {
    using trusttext::IsLowerHex;
    using trusttext::TakeField;
    if (text.size() > static_cast<size_t>(kMaxMirrorListBytes))
        return std::nullopt;
    const std::string magic = std::string(kMagic) + "\n";
    if (text.substr(0, magic.size()) != magic)
        return std::nullopt;
    size_t pos = magic.size();

    MirrorList list;
    std::string_view value;
    if (TakeField(text, &pos, "key", &value)) {
        std::string_view product, channel, folder, manifest;
        if (!IsLowerHex(value, 2 * kEd25519KeySize) ||
            !TakeField(text, &pos, "product", &product) || !IsShortName(product) ||
            !TakeField(text, &pos, "channel", &channel) || !IsShortName(channel) ||
            !TakeField(text, &pos, "build-folder", &folder) || !IsBuildFolder(folder) ||
            !TakeField(text, &pos, "manifest-sha256", &manifest) || !IsLowerHex(manifest, 64))
            return std::nullopt;
        list.key = value;
        list.product = product;
        list.channel = channel;
        list.buildFolder = folder;
        list.manifestSha256 = manifest;
    }
    while (TakeField(text, &pos, "mirror", &value)) {
        if (list.mirrors.size() == kMaxMirrors || !ParseServerAddress(value) ||
            std::find(list.mirrors.begin(), list.mirrors.end(), value) != list.mirrors.end())
            return std::nullopt;
        list.mirrors.emplace_back(value);
    }
    if (list.mirrors.empty())
        return std::nullopt;
    if (list.Signed()) {
        if (!TakeField(text, &pos, "signature", &value) ||
            !IsLowerHex(value, 2 * kEd25519SignatureSize))
            return std::nullopt;
        list.signature = value;
    }
    if (pos != text.size())
        return std::nullopt;
    return list;
}

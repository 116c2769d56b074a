#pragma once
// The operator's mirror list, mirrors.txt beside build_folder.txt: further
// servers that hold the same tree as the patch server, as lvpublish writes
// it and a launcher reads it (what a run does with them: Mirrors.h).
//
// Unsigned, for a launcher built without a key (every line ends with a line
// feed, nothing else is allowed):
//
//   lantern-vale-mirrors 1
//   mirror <base URL>          (1 to kMaxMirrors lines, none twice)
//
// Signed, when the operator signs builds: the same list bound to one build,
// signed by the key that signed that build's statement, so that neither a
// mirror nor anyone between the player and the server can add a mirror or
// carry a list over to another build:
//
//   lantern-vale-mirrors 1
//   key <public key: 64 hex digits>
//   product <short name>
//   channel <short name>
//   build-folder <the build folder as build_folder.txt names it>
//   manifest-sha256 <64 hex digits>
//   mirror <base URL>          (1 to kMaxMirrors lines, none twice)
//   signature <128 hex digits>
//
// The signature covers every byte before the "signature" line.
//
// A base URL is http:// or https://, a host of letters, digits, '.' and '-'
// (or an IPv6 address in brackets), an optional port, and a path that begins
// and ends with '/' and holds only letters, digits and "-._~/", no "..".

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr size_t kMaxMirrors = 16;
inline constexpr size_t kMaxMirrorUrl = 512;
inline constexpr int64_t kMaxMirrorListBytes = 16 * 1024;
inline constexpr const char* kMirrorListFileName = "mirrors.txt";

// Where a server's tree begins: what a request's path is appended to.
struct ServerAddress {
    std::string scheme;  // "http" or "https"
    std::string host;
    int32_t port = 0;
    std::string serverPath;  // begins and ends with '/'

    // scheme://host:port/ and the path without its first slash.
    std::string Base() const;
    // The URL of `relative`, a path under serverPath (no leading slash).
    std::string Url(std::string_view relative) const;
};

// A base URL as above; nothing for anything else.
std::optional<ServerAddress> ParseServerAddress(std::string_view url);

struct MirrorList {
    std::vector<std::string> mirrors;
    // Empty in an unsigned list.
    std::string key;
    std::string product;
    std::string channel;
    std::string buildFolder;
    std::string manifestSha256;
    std::string signature;

    bool Signed() const { return !key.empty(); }
};

// The signed part (the whole list when unsigned).
std::string MirrorListBody(const MirrorList& list);
std::string FormatMirrorList(const MirrorList& list);
// Strict: anything that FormatMirrorList would not have written is refused.
std::optional<MirrorList> ParseMirrorList(std::string_view text);

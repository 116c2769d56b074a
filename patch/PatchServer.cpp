#include "patch/PatchServer.h"

#include <cstdio>
#include <cstring>

#include "base/NameCase.h"
#include "base/Scan.h"
#include "fileset/FilesToPatch.h"
#include "patch/HttpFetch.h"
#include "patch/Mirrors.h"
#include "patch/PatchExceptions.h"
#include "patch/RunContext.h"
#include "patch/Tls.h"
#include "patch/Trust.h"
#include "state/TextFile.h"

#ifndef LV_DEFAULT_PATCH_HOST
#define LV_DEFAULT_PATCH_HOST "patch.lanternvale.example"
#endif
#ifndef LV_PATCH_SCHEME
#define LV_PATCH_SCHEME "http"
#endif

namespace {

constexpr const char kHttps[] = "https";

int32_t DefaultPort(const std::string& scheme) {
    return scheme == kHttps ? 443 : 80;
}

}  // namespace

PatchServerSettings InitialPatchServerSettings() {
    PatchServerSettings s;
    s.host = LV_DEFAULT_PATCH_HOST;
    s.scheme = LV_PATCH_SCHEME;
    s.port = DefaultPort(s.scheme);
    s.serverPath = "/lanternvale_patch/";
    s.buildFolder = "build_1/";
    s.buildPath = s.serverPath + s.buildFolder;
    return s;
}

PatchServerSettings g_patchServer = InitialPatchServerSettings();

void ReadPatchServerAddress() {
    ReadPatchServerAddress(BuiltTlsSettings());
}

void ReadPatchServerAddress(const TlsSettings& tls) {
    g_patchServer.unusable.clear();
    FILE* file = std::fopen(kAddressFileName, "r");
    if (!file)
        return;
    // Only the first line counts, read into a buffer of 1024 bytes.
    char line[1024];
    bool haveLine = std::fgets(line, sizeof line, file) != nullptr;
    std::fclose(file);
    if (!haveLine)
        return;

    scan::Scanner scanner(std::string_view(line, std::strlen(line)));
    std::string token;
    if (scanner.ReadToken(sizeof line, &token) != scan::Scanner::Token::kOk || token.size() <= 7)
        return;

    // "https://" selects TLS. Any other first seven characters are dropped
    // unread and mean plain HTTP.
    std::string scheme = StartsWithIgnoringCase(token, "https://") ? kHttps : "http";
    std::string rest = token.substr(scheme == kHttps ? 8 : 7);
    if (rest.empty() || rest.back() != '/')
        rest.push_back('/');

    enum class State { kHost, kPort, kPath } state = State::kHost;
    std::string host;
    std::string portText = std::to_string(DefaultPort(scheme));
    std::string path = "/";
    for (char c : rest) {
        if (c == '/') {
            // No slash is copied: the path already begins with one.
            state = State::kPath;
        } else if (c == ':') {
            if (state == State::kHost) {
                portText.clear();
                state = State::kPort;
            }
        } else if (state == State::kHost) {
            host.push_back(c);
        } else if (state == State::kPort) {
            portText.push_back(c);
        } else {
            path.push_back(c);
        }
    }
    if (path != "/")
        path.push_back('/');

    // Plain HTTP would bypass the pin, and with it the operator's choice of
    // who may answer for the patch server.
    if (scheme != kHttps && !tls.caBundle.empty()) {
        g_patchServer.unusable = std::string(
            "the address file names http:// but this launcher "
            "only talks HTTPS to its pinned servers");
        return;
    }
    g_patchServer.scheme = scheme;
    g_patchServer.host = host;
    g_patchServer.serverPath = path;
    g_patchServer.port = scan::ParseInt32(portText);
}

void FetchBuildFolder(RunContext& run) {
    if (!g_patchServer.unusable.empty()) {
        LogFailure(run, g_patchServer.unusable);
        throw DownloadFailedException();
    }
    long status = 0;
    const std::string local = RunCopyName(kBuildFolderFileName);
    auto fetch = [&] {
        return FetchToFile(run, local, g_patchServer.serverPath + kBuildFolderFileName,
                           kBuildFolderLimit, &status);
    };
    if (!fetch()) {
        // A server that cannot be reached, or cannot serve, may have a
        // fallback the launcher was built with; a server that answers for
        // itself (a 404) is the one that counts.
        const long primaryStatus = status;
        if (!((status == 0 || status >= 500) && FetchFromFallback(run, fetch, primaryStatus)))
            return;
    }
    std::string line;
    if (!ReadFirstLine(local, kBuildFolderLimit, &line))
        return;
    g_patchServer.buildFolder = line;
    g_patchServer.buildPath = g_patchServer.serverPath + g_patchServer.buildFolder;
}

void FetchManifest(RunContext& run, FilesToPatch& filesToPatch) {
    FetchManifestFile(run);
    ReadManifestLines(filesToPatch);
}

void FetchManifestFile(RunContext& run) {
    long status = 0;
    const std::string local = RunCopyName(kManifestFileName);
    if (!FetchToFile(run, local, g_patchServer.buildPath + kManifestFileName, kManifestLimit,
                     &status)) {
        // Another status names itself in the request; a good one does not.
        if (status == 200)
            LogFailure(run, TextFileUrl(run, g_patchServer.buildPath + kManifestFileName) +
                                ": the manifest did not arrive whole or is longer than " +
                                std::to_string(kManifestLimit) + " bytes");
        throw DownloadFailedException();
    }
}

void ReadManifestLines(FilesToPatch& filesToPatch) {
    if (!ForEachLine(
            RunCopyName(kManifestFileName),
            [&](const std::string& line) { filesToPatch.ParseLine(line); }, kManifestLimit))
        throw DownloadFailedException();
}

void LoadLocalManifest(FilesToPatch& filesToPatch) {
    ForEachLine(
        kManifestFileName, [&](const std::string& line) { filesToPatch.ParseLine(line); },
        kManifestLimit);
}

std::string BuildPatchUrl(const std::string& serverPath) {
    std::string url = g_patchServer.scheme + "://" + g_patchServer.host + ":" +
                      std::to_string(g_patchServer.port);
    if (url.back() != '/')
        url.push_back('/');
    if (!serverPath.empty() && serverPath[0] == '/')
        url.append(serverPath, 1, std::string::npos);
    else
        url.append(serverPath);
    return url;
}

#pragma once
// Where the patch server is and which build on it is current: five
// process-wide settings, the optional local address file, build_folder.txt,
// the manifest fetch and the one rule that turns a server path into a URL.

#include <cstdint>
#include <string>

#include "patch/Limits.h"
#include "state/LauncherFiles.h"

class FilesToPatch;
struct RunContext;
struct TlsSettings;

struct PatchServerSettings {
    std::string host;
    int32_t port;
    std::string serverPath;
    std::string buildFolder;
    std::string buildPath;
    // "http" or "https": the scheme of the address the settings came from.
    std::string scheme = "http";
    // Why the address file's address may not be used (empty: it may). A run
    // with such an address asks nothing and fails as at an unreachable
    // server, with this as its failure line.
    std::string unusable;
};

// Lives from process start to process end and is never saved; each run starts
// with what the previous run in the process left.
extern PatchServerSettings g_patchServer;

// The built-in values (the default host is chosen when the launcher is built).
PatchServerSettings InitialPatchServerSettings();

// A launcher with a pinned CA bundle (the run's TlsSettings) talks only
// HTTPS: an http:// address in the file then makes the address unusable.
// Without settings: the build's (BuiltTlsSettings()).
void ReadPatchServerAddress(const TlsSettings& tls);
void ReadPatchServerAddress();
// Throws DownloadFailedException, asking nothing, when the address is unusable.
void FetchBuildFolder(RunContext& run);
void FetchManifest(RunContext& run, FilesToPatch& filesToPatch);
// FetchManifest's two halves, for a run that authenticates the manifest
// between them: the fetch into the local copy (the staged one with a key),
// and the reading of its lines.
void FetchManifestFile(RunContext& run);
void ReadManifestLines(FilesToPatch& filesToPatch);
void LoadLocalManifest(FilesToPatch& filesToPatch);
std::string BuildPatchUrl(const std::string& serverPath);

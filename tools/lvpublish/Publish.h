#pragma once
// Publishing a game build to a patch-server folder: copies the build into a
// new build folder beside the ones players may still be patching from,
// writes its manifest with versions carried over from the current build, and
// only then switches build_folder.txt, atomically, so a launcher sees either
// the old build or the new one, never part of one.

#include <cstdint>
#include <string>
#include <vector>

namespace lvpublish {

struct PublishOptions {
    std::string buildDir;
    std::string serverRoot;
    // "NAME/" (a missing "/" is added); empty picks the next free build_N/.
    std::string buildFolder;
    // Files in the build to tag, as manifest names or paths to the files.
    std::string gameExe;
    std::string testClient;
    // A build without a game program is refused unless this says it is meant.
    bool noGameExe = false;
    // Everything is checked, compared and reported; nothing is written.
    bool dryRun = false;
    // Signing (Signing.h): the key file, and the statement's validity in
    // days as given (empty: the default).
    std::string signKeyFile;
    std::string expiresDays;
    // The folder of the signer's serial record; empty: beside the key file.
    std::string stateDir;
    // The product and channel the statement names, as given (empty: the
    // defaults, Channel.h).
    std::string product;
    std::string channel;
    // Compressed copies and deltas (Objects.h): from the last `deltaFrom`
    // builds, at zstd's `deltaLevel`.
    bool delta = false;
    int deltaFrom = 3;
    int deltaLevel = 19;
    // The mirror list (MirrorFile.h): these URLs in this order; none given
    // carries the list over, `noMirrors` removes it.
    std::vector<std::string> mirrors;
    bool noMirrors = false;
};

enum class Change { kAdded, kChanged, kUnchanged };

struct PublishedFile {
    std::string name;
    int32_t version = 0;
    int64_t size = 0;
    std::string sha256;
    std::vector<std::string> tags;  // as written, at most three
    // After them: the objects that bring older copies up to date.
    std::vector<std::string> objectTags;
    Change change = Change::kAdded;
    unsigned mode = 0644;  // on the server
};

struct PublishReport {
    std::string buildFolder;          // the new current build, e.g. "build_2/"
    std::string previousBuildFolder;  // empty when there was none
    bool hadPrevious = false;
    std::vector<PublishedFile> files;  // manifest order
    std::vector<std::string> removed;
    std::vector<std::string> notes;  // worth an operator's look, not errors
    bool dryRun = false;
    // How the files reached the new build: hard links to the previous
    // build's copies of unchanged files, or copies.
    int linked = 0;
    int copied = 0;
    int64_t bytesWritten = 0;  // copied file bytes and the manifest
    // Staging folders and temporary files of interrupted runs, removed (or,
    // in a dry run, to be removed).
    std::vector<std::string> leftovers;
    // With --delta: the objects written, named again and left out.
    int objectsWritten = 0;
    int objectsReused = 0;
    int objectsSkipped = 0;
    int deltaTags = 0;
    int64_t objectBytes = 0;
    std::vector<std::string> plannedObjects;  // in a dry run
    // The mirror list as written (or, in a dry run, to be written).
    std::vector<std::string> mirrors;

    int Count(Change change) const;
    // What a player of the previous build fetches: added and changed files.
    int64_t DownloadBytes() const;
};

struct PublishOutcome {
    bool ok = false;
    std::string error;  // one line when !ok
    // Every file the build cannot carry, one line each (error sums them up).
    std::vector<std::string> problems;
    PublishReport report;
};

PublishOutcome Publish(const PublishOptions& options);

// "name version tag..." as the manifest carries it.
std::string ManifestLine(const PublishedFile& file);

inline constexpr const char* kServerFolder = "lanternvale_patch";

}  // namespace lvpublish

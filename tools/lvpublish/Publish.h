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
    // Signing (Signing.h): the key file, and the statement's validity in
    // days as given (empty: the default).
    std::string signKeyFile;
    std::string expiresDays;
};

enum class Change { kAdded, kChanged, kUnchanged };

struct PublishedFile {
    std::string name;
    int32_t version = 0;
    int64_t size = 0;
    std::string sha256;
    std::vector<std::string> tags;  // as written, at most three
    Change change = Change::kAdded;
};

struct PublishReport {
    std::string buildFolder;          // the new current build, e.g. "build_2/"
    std::string previousBuildFolder;  // empty when there was none
    bool hadPrevious = false;
    std::vector<PublishedFile> files;  // manifest order
    std::vector<std::string> removed;
    std::vector<std::string> notes;  // worth an operator's look, not errors

    int Count(Change change) const;
    // What a player of the previous build fetches: added and changed files.
    int64_t DownloadBytes() const;
};

struct PublishOutcome {
    bool ok = false;
    std::string error;  // one line when !ok
    PublishReport report;
};

PublishOutcome Publish(const PublishOptions& options);

// "name version tag..." as the manifest carries it.
std::string ManifestLine(const PublishedFile& file);

inline constexpr const char* kServerFolder = "lanternvale_patch";

}  // namespace lvpublish

#pragma once
// The folder SERVER_ROOT/lanternvale_patch/objects/ of compressed copies and
// deltas (DeltaWriter.h), each named by its own SHA-256 and never changed
// once written, shared by every build whose manifest names it: a publish
// with --delta adds the objects of its build's files, prune removes those no
// kept build can use.

#include <cstdint>
#include <string>
#include <vector>

#include "Publish.h"

namespace lvpublish {

inline constexpr const char* kObjectsFolder = "objects";
// Files below this are fetched whole: an object would save less than its
// request costs.
inline constexpr int64_t kMinObjectFileBytes = 4096;

struct ObjectOptions {
    std::string base;         // SERVER_ROOT/lanternvale_patch/
    std::string stagedBuild;  // where the new build's files are, ending in "/"
    std::string newFolder;    // the new build's folder name, e.g. "build_3/"
    int deltaFrom = 3;        // earlier builds a file gets deltas from
    int level = 19;
    bool dryRun = false;
};

struct ObjectReport {
    int written = 0;
    int reused = 0;
    int deltas = 0;   // DELTA tags in the manifest
    int skipped = 0;  // objects not smaller than what they would replace
    int64_t bytesWritten = 0;
    std::vector<std::string> planned;  // in a dry run: what would be written
};

// Adds to each file's objectTags the compressed copy and the deltas from
// the last `deltaFrom` builds on the server, writing those not there yet.
bool AddBuildObjects(const ObjectOptions& options, std::vector<PublishedFile>* files,
                     ObjectReport* report, std::string* error);

// The objects no build in `keptFolders` names, or whose delta leads from a
// file none of them holds. False with `error` when a kept build's manifest
// cannot be read.
bool UnusedObjects(const std::string& base, const std::vector<std::string>& keptFolders,
                   std::vector<std::string>* unused, std::string* error);

struct ObjectsInfo {
    int count = 0;
    int64_t bytes = 0;
};
ObjectsInfo CountObjects(const std::string& base);

}  // namespace lvpublish

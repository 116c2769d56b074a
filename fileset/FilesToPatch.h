#pragma once
// The manifest of one build and the working state of one patch run.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "state/LauncherFiles.h"

class VerifiedFiles;
// The settings of a run (patch/RunContext.h), which the stages that fetch or
// report get from the run; they are built above this folder.
struct RunContext;

class FilesToPatch {
  public:
    // An object the publisher wrote beside the build to bring this file up to
    // date without fetching it whole (patch/DeltaObject.h), from a tag after
    // the line's usual ones: "ZST:SIZE:SHA256" a compressed copy,
    // "DELTA:SOURCE:SIZE:SHA256" a delta from the old file whose SHA-256
    // begins with the 32 hex digits SOURCE. The object's own SHA-256 names
    // it on the server (ObjectPath).
    struct UpdateObject {
        std::string source;  // empty: a compressed copy
        int64_t size = 0;
        std::string sha256;
    };
    static constexpr size_t kSourcePrefixLength = 32;
    // Further tokens a line may carry for its objects.
    static constexpr int kMaxObjectTags = 16;

    struct File {
        std::string name;
        std::string tags[3];
        int32_t version = 0;
        // Bytes; 64-bit so that files of 2 GiB and more compare correctly.
        // -1 when the server announced no length.
        int64_t size = 0;
        bool sizeKnown = false;
        bool needsDownload = false;
        bool rejected = false;
        // Why this run's download did not replace the installed file (an
        // answer cut short or too long, the wrong size, the wrong SHA-256);
        // empty when it did or none was made.
        std::string refusal;
        // With several transfers in flight: the whole body of a small file
        // that arrived with its size request, for the download stage.
        bool prefetched = false;
        std::string prefetchedBody;
        // The objects the line names, in its order; none on lines without
        // such tags, which then mean what they always meant.
        std::vector<UpdateObject> objects;
        // The object this run fetches instead of the file (an index into
        // objects), -1 for the file itself; WireSize is what that brings.
        int way = -1;
        int64_t WireSize() const { return way >= 0 ? objects[way].size : size; }

        void ReadSizeTag();
        bool HasTag(const std::string& word) const;
        // The content hash of the first "SHA256:" tag (key in any case, 64 hex
        // digits), lowercase; empty when the entry carries none.
        std::string Sha256Tag() const;
        void CheckName();
        void CreateFolders() const;
        // The same, skipping the folders already in `made` (created earlier
        // in the same stage) and adding those it creates.
        void CreateFolders(std::unordered_set<std::string>& made) const;
    };

    FilesToPatch();
    virtual ~FilesToPatch();

    // Longest name and tag a manifest line may carry (bytes).
    static constexpr size_t kMaxNameLength = 511;
    static constexpr size_t kMaxTagLength = 127;

    void ParseLine(const std::string& line);
    void GetGameExe(std::string& result) const;
    void GetTestClient(std::string& result) const;

    // The stages of a patch run, in run order.
    void CheckFileNames();
    void DownloadFileSizes(RunContext& run);
    void DetermineFilesToDownload(const RunContext& run);
    // With objects on the manifest's lines: records the files that already
    // hold the published bytes and picks for the others the cheapest object
    // whose result can be checked (ChooseWays, patch/Download.cpp).
    void ChooseWays(RunContext& run);
    void ComputeDownloadSize();
    void DownloadFiles(RunContext& run);
    bool VerifyFiles(const RunContext& run);

    // Repair runs, after DetermineFilesToDownload: re-hashes every local
    // file whose entry carries a SHA256 tag and is not marked yet, and marks
    // the ones whose bytes differ.
    struct RepairCounts {
        int checked = 0;
        int damaged = 0;
    };
    RepairCounts MarkDamagedFiles(const RunContext& run);

    std::vector<File> files;
    int64_t totalDownloadSize = 0;
    // ChooseWays found objects on the manifest's lines and may use them.
    bool objectsOffered = false;
    // With a key: the files the launcher has hashed itself (null without).
    std::shared_ptr<VerifiedFiles> verifiedFiles;

  private:
    void FindTagged(const char* word, std::string& result) const;
};

// An object's file name in the server's objects folder, and its path below
// the patch server's folder.
std::string ObjectFileName(const std::string& sha256);
std::string ObjectPath(const std::string& sha256);
// The tag that names `object`.
std::string ObjectTag(const FilesToPatch::UpdateObject& object);

// True when `other` and the launcher program have the same length and bytes.
// Closes `other` in every case.
bool IsIdenticalToLauncherExe(FILE* other);

// "Downloading updates to game:  %.1f of %.1f MB complete" in mebibytes.
std::string DownloadProgressText(int64_t bytesDone, int64_t bytesTotal);

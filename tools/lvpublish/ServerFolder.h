#pragma once
// The patch-server folder SERVER_ROOT/lanternvale_patch/ as the publisher's
// commands share it: the lock that keeps them one at a time, the switch of
// build_folder.txt, the builds it holds in the order they were published, and
// the record of versions that removed builds had used.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace lvpublish {

inline constexpr const char* kStagingPrefix = ".lvpublish-";
// The build that was current before the last switch (publish or rollback):
// launchers may still be patching from it.
inline constexpr const char* kPreviousRecordName = ".lvpublish-previous";
// "name version" lines: the highest version each file had in removed builds,
// so a later publish never gives other bytes a version players may hold.
inline constexpr const char* kRetiredVersionsName = ".lvpublish-retired-versions";
// Where lvpublish once kept the highest serial it signed, in the served tree
// where anyone who can write there could plant one. The record now lives
// with the operator (Signing.h); this one is only read to say what it held
// and removed by the next signing.
inline constexpr const char* kServedSerialRecordName = ".lvpublish-highest-serial";
// Statements of builds prune removed, kept so that their serials still count
// once they verify with the operator's key (nothing unverified does).
inline constexpr const char* kRetiredStatementsName = ".lvpublish-retired-statements";
// How the current build's files lay on disk while they held their bytes
// (CopyRecord.h).
inline constexpr const char* kCopyRecordName = ".lvpublish-copies";

// An exclusive lock on `base` for the life of the object.
class ServerLock {
  public:
    ServerLock() = default;
    ~ServerLock();
    ServerLock(const ServerLock&) = delete;
    ServerLock& operator=(const ServerLock&) = delete;
    // Blocks until no other lvpublish command holds `base`.
    bool Acquire(const std::string& base, std::string* error);

  private:
    int fd_ = -1;
};

// Writes `text` to a temporary file beside `path`, flushes it and renames it
// over `path`; on failure `path` is as before and the temporary file gone.
bool ReplaceFileDurably(const std::string& path, const std::string& text, std::string* error);

// write(2) until all of `data` is written; false on an error.
bool WriteAll(int fd, const char* data, size_t size);

// fsync of a file or folder by path.
bool SyncPath(const std::string& path);

// The first line of base/build_folder.txt; false with errno when unreadable.
bool ReadCurrentFolder(const std::string& base, std::string* folder);

// Switches build_folder.txt to `folder` in one step and only then records
// `current` (the build launchers are leaving; empty: none) as the previous
// build. False with `error` when the switch failed: then nothing changed.
// A record that cannot be written leaves the switch done and says so in
// `note`.
bool SwitchCurrentBuild(const std::string& base, const std::string& folder,
                        const std::string& current, std::string* error, std::string* note);

// Staging folders and temporary pointer files an interrupted publish left in
// `base`. Only to be removed while holding the lock.
std::vector<std::string> LeftoversOfInterruptedRuns(const std::string& base);

// Removes those leftovers (in a dry run, only lists them). Returns the names
// removed; each one that stays is a line in `failures`.
std::vector<std::string> RemoveLeftoversOfInterruptedRuns(const std::string& base, bool dryRun,
                                                          std::vector<std::string>* failures);

struct BuildInfo {
    std::string folder;  // "build_3/"
    bool hasManifest = false;
    int files = 0;
    int64_t bytes = 0;        // the manifest's files as they lie on the server
    int64_t publishedAt = 0;  // modification time of the manifest, ns
};

// Every build folder under `base`, oldest publish first.
std::vector<BuildInfo> ListBuilds(const std::string& base);

// Highest version of each name in the retired-versions record.
std::map<std::string, int32_t> ReadRetiredVersions(const std::string& base);

// A serial record at `path`: `present` false (and 0) when there is none;
// false with `error` when it is there but unreadable or not a serial of 1 to
// 18 digits, since guessing could go below it.
bool ReadSerialRecord(const std::string& path, uint64_t* serial, bool* present, std::string* error);
// Raises the record to `serial`; a lower or equal one leaves it as it is.
bool RaiseSerialRecord(const std::string& path, uint64_t serial, std::string* error);

}  // namespace lvpublish

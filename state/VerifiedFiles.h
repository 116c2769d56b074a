#pragma once
// The record of the game files a launcher built with a key has hashed
// itself: for each, the SHA-256 it found and the stamp (length, times,
// identity) the file had then. A file whose stamp is unchanged still holds
// those bytes, so a later run hashes only the files that changed. Loaded by
// the constructor, written back whole by the destructor when it changed.

#include <cstdint>
#include <string>
#include <unordered_map>

#include "platform/Platform.h"

class VerifiedFiles {
  public:
    static constexpr const char* kFileName = "verified_files.txt";
    // The record of a very large game stays far below this.
    static constexpr int64_t kMaxBytes = int64_t{256} << 20;

    VerifiedFiles();
    virtual ~VerifiedFiles();
    VerifiedFiles(const VerifiedFiles&) = delete;
    VerifiedFiles& operator=(const VerifiedFiles&) = delete;

    // True when `name` was found to hold `sha256` while it had `stamp`.
    bool Holds(const std::string& name, const platform::FileStamp& stamp,
               const std::string& sha256) const;
    void Record(const std::string& name, const platform::FileStamp& stamp,
                const std::string& sha256);
    void Forget(const std::string& name);

    struct Entry {
        platform::FileStamp stamp;
        std::string sha256;
    };
    const std::unordered_map<std::string, Entry>& Entries() const { return entries_; }

  private:
    std::unordered_map<std::string, Entry> entries_;
    bool changed_ = false;
};

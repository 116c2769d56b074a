#pragma once
// The local version ledger "file_versions.txt": for every game file the
// launcher installed, the version under which it fetched it. Loaded by the
// constructor, written back whole by the destructor.

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

class FileVersionFile {
  public:
    struct Entry {
        std::string name;
        int32_t version = 0;
    };

    static constexpr const char* kFileName = "file_versions.txt";
    // Longest name token the ledger keeps (bytes); longer ones are skipped.
    static constexpr size_t kMaxNameLength = 1023;

    FileVersionFile();
    virtual ~FileVersionFile();
    FileVersionFile(const FileVersionFile&) = delete;
    FileVersionFile& operator=(const FileVersionFile&) = delete;

    // Both act on the ledger of the run in progress (g_fileVersionFile).
    static bool HasVersion(const std::string& name, int32_t version);
    static void SetVersion(const std::string& name, int32_t version);

    const std::vector<Entry>& Entries() const { return entries; }

  private:
    const Entry* Find(const std::string& name) const;

    std::vector<Entry> entries;
    // Index of the first entry of each name, so that a game folder of tens of
    // thousands of files is not checked in quadratic time.
    std::unordered_map<std::string, size_t> firstIndex;
    // Whether each entry is the first of its name (the one a query finds).
    std::vector<bool> isFirst;
    // A ledger is written in the order its files were fetched, which is the
    // manifest's, and a run asks in the manifest's order: the entry after the
    // last one found is usually the next one asked for.
    mutable size_t next = 0;
};

extern FileVersionFile* g_fileVersionFile;

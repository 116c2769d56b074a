// verified_files.txt of any content loads; what it saves loads back to the
// same entries, and an entry holds exactly its own stamp and hash.
#include <cstdlib>

#include "FuzzFolder.h"
#include "state/VerifiedFiles.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    EnterFuzzFolder();
    WriteInput(VerifiedFiles::kFileName, data, size);
    std::unordered_map<std::string, VerifiedFiles::Entry> first;
    {
        VerifiedFiles record;
        first = record.Entries();
        for (const auto& [name, entry] : first) {
            if (name.empty() || entry.sha256.size() != 64 ||
                !record.Holds(name, entry.stamp, entry.sha256))
                std::abort();
            platform::FileStamp other = entry.stamp;
            ++other.changed;
            if (record.Holds(name, other, entry.sha256))
                std::abort();
        }
        // Makes the record save itself when it goes, with the same entries.
        const std::string marker = "fuzz-marker";
        if (auto it = first.find(marker); it != first.end()) {
            record.Forget(marker);
            record.Record(marker, it->second.stamp, it->second.sha256);
        } else {
            record.Record(marker, {}, std::string(64, '0'));
            record.Forget(marker);
        }
    }
    VerifiedFiles again;
    if (again.Entries().size() != first.size())
        std::abort();
    for (const auto& [name, entry] : first) {
        auto it = again.Entries().find(name);
        if (it == again.Entries().end() || !(it->second.stamp == entry.stamp) ||
            it->second.sha256 != entry.sha256)
            std::abort();
    }
    return 0;
}

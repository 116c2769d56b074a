// file_versions.txt of any content loads, answers and saves; what it saves
// loads back to the same entries.
#include <cstdlib>

#include "FuzzFolder.h"
#include "state/FileVersionFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    EnterFuzzFolder();
    WriteInput(FileVersionFile::kFileName, data, size);
    std::vector<FileVersionFile::Entry> first;
    {
        FileVersionFile ledger;
        for (const auto& entry : ledger.Entries())
            if (entry.name.empty() || entry.name.size() > FileVersionFile::kMaxNameLength)
                std::abort();
        first = ledger.Entries();
    }
    FileVersionFile again;
    if (again.Entries().size() != first.size())
        std::abort();
    for (size_t i = 0; i < first.size(); ++i)
        if (again.Entries()[i].name != first[i].name ||
            again.Entries()[i].version != first[i].version)
            std::abort();
    return 0;
}

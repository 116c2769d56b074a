// Repair runs: the size and the ledger say a file is current, its bytes may
// still have been damaged on the disk since. Re-hashing finds out.

#include <string>

#include "base/Sha256.h"
#include "fileset/FilesToPatch.h"
#include "patch/RunContext.h"
#include "patch/RunSurface.h"

FilesToPatch::RepairCounts FilesToPatch::MarkDamagedFiles(const RunContext& run) {
    int toCheck = 0;
    for (const File& file : files)
        if (!file.rejected && !file.needsDownload && !file.Sha256Tag().empty())
            ++toCheck;

    RepairCounts counts;
    for (File& file : files) {
        if (file.rejected || file.needsDownload)
            continue;
        const std::string expected = file.Sha256Tag();
        if (expected.empty())
            continue;
        ++counts.checked;
        g_patchDialog->SetStageText("Checking file contents... " + std::to_string(counts.checked) +
                                    " of " + std::to_string(toCheck));
        if (Sha256FileHex(file.name) != expected) {
            file.needsDownload = true;
            ++counts.damaged;
            LogFetch(run, file.name, RunLog::FetchReason::kHash);
        }
    }
    return counts;
}

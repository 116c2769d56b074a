// Learning the sizes the manifest does not give, choosing the files that are
// out of date, and totalling what is about to be downloaded.

#include <climits>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "base/Sha256.h"
#include "fileset/FilesToPatch.h"
#include "patch/PatchExceptions.h"
#include "patch/PatchServer.h"
#include "patch/RunContext.h"
#include "patch/RunLog.h"
#include "patch/RunSurface.h"
#include "patch/Transfer.h"
#include "platform/Platform.h"
#include "platform/ReadableSize.h"
#include "state/FileVersionFile.h"
#include "state/VerifiedFiles.h"

namespace {

void PrepareProbe(Transfer& probe) {
    probe.SetByteLimit(kLargestBodyToDrain);
    probe.CutUnannouncedBodies();
}

void TakeSize(FilesToPatch::File& file, const TransferOutcome& outcome) {
    if (outcome.status != 200)
        throw DownloadFailedException();
    file.size = outcome.announcedLength;
    file.sizeKnown = true;
}

// With a key, size and ledger are not enough: a file counts as current only
// when its bytes are the published ones. A file this launcher hashed before
// and that has not changed since is taken on the record's word; any other is
// hashed now (a folder a launcher without a key filled, a file replaced
// behind the ledger's back) and recorded when it matches.
bool HoldsPublishedBytes(const FilesToPatch::File& file, VerifiedFiles& record) {
    const std::string expected = file.Sha256Tag();
    std::optional<platform::FileStamp> before = platform::StampOf(file.name);
    if (!before || expected.empty())
        return false;
    if (record.Holds(file.name, *before, expected))
        return true;
    const std::optional<std::string> actual = Sha256FileHex(file.name);
    // Changed while it was read: the hash may be of neither version.
    if (actual != expected || platform::StampOf(file.name) != before) {
        record.Forget(file.name);
        return false;
    }
    record.Record(file.name, *before, expected);
    return true;
}

}  // namespace

// Up to the run's width of size requests in flight; the texts count the
// requests as they start, in manifest order. With several in flight, a small
// body that arrives whole is kept for the download stage (within
// kPrefetchBudget), so that file costs one request instead of two; one after
// the other, every file is asked for again by its download.
void FilesToPatch::DownloadFileSizes(RunContext& run) {
    int count = 0;
    for (const File& file : files)
        if (!file.rejected && !file.sizeKnown)
            ++count;

    struct Probe {
        explicit Probe(bool keepBody) : sink(&body), transfer(keepBody ? &sink : nullptr) {}
        std::string body;
        StringSink sink;
        Transfer transfer;
    };
    const bool keepBodies = run.width > 1;
    std::vector<std::unique_ptr<Probe>> probes(files.size());
    TransferPool pool(run, run.width);
    if (!pool)
        throw DownloadFailedException();
    pool.ConfigureHandles(
        [](TransferHandle& handle) { curl_easy_setopt(handle.Get(), CURLOPT_NOBODY, 0L); });

    int k = 0;
    char text[96];
    int64_t budget = kPrefetchBudget;
    pool.Run(
        files.size(),
        [&](size_t i) {
            const File& file = files[i];
            if (file.rejected || file.sizeKnown)
                return std::optional<TransferJob>(TransferJob{});
            ++k;
            std::snprintf(text, sizeof text, "Checking files for updates... %d of %d", k, count);
            g_patchDialog->SetStageText(text);
            probes[i] = std::make_unique<Probe>(keepBodies);
            PrepareProbe(probes[i]->transfer);
            TransferJob job;
            job.relative = g_patchServer.buildFolder + file.name;
            job.url = BuildPatchUrl(g_patchServer.buildPath + file.name);
            job.transfer = &probes[i]->transfer;
            return std::optional<TransferJob>(std::move(job));
        },
        [&](size_t i, const TransferOutcome& outcome) {
            std::unique_ptr<Probe> probe = std::move(probes[i]);
            TakeSize(files[i], outcome);
            const auto bytes = static_cast<int64_t>(probe->body.size());
            if (keepBodies && outcome.Complete() && bytes == outcome.announcedLength &&
                bytes <= budget) {
                budget -= bytes;
                files[i].prefetched = true;
                files[i].prefetchedBody = std::move(probe->body);
            }
        });
}

void FilesToPatch::DetermineFilesToDownload(const RunContext& run) {
    for (File& file : files) {
        if (file.rejected || file.needsDownload)
            continue;
        if (!file.sizeKnown) {
            file.needsDownload = true;
            LogFetch(run, file.name, RunLog::FetchReason::kUnknownSize);
            continue;
        }
        std::optional<int64_t> localSize = ReadableFileSize(file.name);
        if (!localSize || *localSize != file.size) {
            file.needsDownload = true;
            LogFetch(run, file.name,
                     localSize ? RunLog::FetchReason::kSize : RunLog::FetchReason::kMissing);
            continue;
        }
        if (!FileVersionFile::HasVersion(file.name, file.version)) {
            file.needsDownload = true;
            LogFetch(run, file.name, RunLog::FetchReason::kVersion);
            continue;
        }
        if (verifiedFiles && !HoldsPublishedBytes(file, *verifiedFiles)) {
            file.needsDownload = true;
            LogFetch(run, file.name, RunLog::FetchReason::kHash);
        }
    }
}

void FilesToPatch::ComputeDownloadSize() {
    totalDownloadSize = 0;
    for (const File& file : files)
        if (file.needsDownload && file.sizeKnown &&
            __builtin_add_overflow(totalDownloadSize, file.WireSize(), &totalDownloadSize))
            // Sizes no disk holds; the download stage refuses them anyway.
            totalDownloadSize = file.size < 0 ? INT64_MIN : INT64_MAX;
    g_patchDialog->SetProgressRange(0, totalDownloadSize);
    g_patchDialog->SetProgressPos(0);
}

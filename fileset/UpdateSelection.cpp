// Learning the sizes the manifest does not give, choosing the files that are
// out of date, and totalling what is about to be downloaded.

#include <cstdio>
#include <string>

#include "fileset/FilesToPatch.h"
#include "fileset/ReadableSize.h"
#include "patch/PatchExceptions.h"
#include "patch/PatchServer.h"
#include "patch/RunSurface.h"
#include "patch/Transfer.h"
#include "platform/Platform.h"
#include "state/FileVersionFile.h"

namespace {

// A size request is a GET of the file itself; only its status and announced
// length are used. A small body is read and dropped so the connection stays
// open for the next request; a large or unannounced one is cut off, which
// costs a reconnect but never the whole file.
constexpr int64_t kLargestBodyToDrain = 64 * 1024;

}  // namespace

void FilesToPatch::DownloadFileSizes() {
    TransferHandle handle;
    if (!handle)
        throw DownloadFailedException();
    curl_easy_setopt(handle.Get(), CURLOPT_NOBODY, 0L);

    int count = 0;
    for (const File& file : files)
        if (!file.rejected && !file.sizeKnown)
            ++count;

    int k = 0;
    char text[96];
    for (File& file : files) {
        if (file.rejected || file.sizeKnown)
            continue;
        ++k;
        std::snprintf(text, sizeof text, "Checking files for updates... %d of %d", k, count);
        g_patchDialog->SetStageText(text);

        Transfer probe;
        probe.SetByteLimit(kLargestBodyToDrain);
        probe.CutUnannouncedBodies();
        const TransferOutcome& outcome =
            handle.Perform(probe, BuildPatchUrl(g_patchServer.buildPath + file.name));
        if (outcome.status != 200)
            throw DownloadFailedException();
        file.size = outcome.announcedLength;
        file.sizeKnown = true;
    }
}

void FilesToPatch::DetermineFilesToDownload() {
    for (File& file : files) {
        if (file.rejected || file.needsDownload)
            continue;
        if (!file.sizeKnown) {
            file.needsDownload = true;
            continue;
        }
        std::optional<int64_t> localSize = ReadableFileSize(file.name);
        if (!localSize || *localSize != file.size) {
            file.needsDownload = true;
            continue;
        }
        if (!FileVersionFile::HasVersion(file.name, file.version))
            file.needsDownload = true;
    }
}

void FilesToPatch::ComputeDownloadSize() {
    totalDownloadSize = 0;
    for (const File& file : files)
        if (file.needsDownload && file.sizeKnown)
            totalDownloadSize += file.size;
    g_patchDialog->SetProgressRange(0, totalDownloadSize);
    g_patchDialog->SetProgressPos(0);
}

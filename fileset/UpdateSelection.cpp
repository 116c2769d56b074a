// Learning the sizes the manifest does not give, choosing the files that are
// out of date, and totalling what is about to be downloaded.

#include <cstdio>
#include <string>

#include "fileset/CurlHandle.h"
#include "fileset/FilesToPatch.h"
#include "patch/HttpFetch.h"
#include "patch/PatchExceptions.h"
#include "patch/PatchServer.h"
#include "patch/RunSurface.h"
#include "platform/Platform.h"
#include "state/FileVersionFile.h"

namespace {

// A size request is a GET of the file itself; only its status and announced
// length are used. A small body is read and dropped so the connection stays
// open for the next request; a large or unannounced one is cut off, which
// costs a reconnect but never the whole file.
constexpr curl_off_t kLargestBodyToDrain = 64 * 1024;

struct SizeProbe {
    CURL* handle = nullptr;
};

size_t DrainSmallBody(char*, size_t size, size_t count, void* userData) {
    auto* probe = static_cast<SizeProbe*>(userData);
    curl_off_t length = -1;
    curl_easy_getinfo(probe->handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    if (length < 0 || length > kLargestBodyToDrain)
        return 0;
    return size * count;
}

}  // namespace

void FilesToPatch::DownloadFileSizes() {
    CurlHandle handle(curl_easy_init());
    if (!handle)
        throw DownloadFailedException();
    curl_easy_setopt(handle.get(), CURLOPT_NOBODY, 0L);
    ApplyTransferLimits(handle.get());
    SizeProbe probe{handle.get()};
    curl_easy_setopt(handle.get(), CURLOPT_WRITEFUNCTION, DrainSmallBody);
    curl_easy_setopt(handle.get(), CURLOPT_WRITEDATA, &probe);

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

        std::string url = BuildPatchUrl(g_patchServer.buildPath + file.name);
        curl_easy_setopt(handle.get(), CURLOPT_URL, url.c_str());
        curl_easy_perform(handle.get());

        long status = 0;
        curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &status);
        if (status != 200)
            throw DownloadFailedException();
        curl_off_t length = -1;
        curl_easy_getinfo(handle.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        file.size = static_cast<int64_t>(length);
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
        std::optional<int64_t> localSize = platform::OpenExistingForReadSize(file.name);
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

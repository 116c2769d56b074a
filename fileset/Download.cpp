// Fetching the marked files into the game folder with progress, noticing a
// new launcher program, and verifying the result against disk and ledger.

#include <sys/socket.h>

#include <charconv>
#include <cstdio>
#include <cstring>
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

// The megabyte text is redrawn only after more than this many further bytes,
// about ten times per mebibyte.
constexpr int64_t kBytesBetweenTexts = 104857;
constexpr double kBytesToMebibytes = 9.5367431640625e-07;

struct DownloadProgress {
    int64_t bytesDone = 0;
    FILE* file = nullptr;
    int64_t bytesAtLastText = 0;
    int64_t bytesTotal = 0;
};

// "%.1f" that ignores the process locale (the window's toolkit sets it).
void AppendOneDecimal(std::string& out, double value) {
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 1);
    out.append(buffer, result.ptr);
}

// A receive buffer that holds a whole libcurl block, so that a front end
// whose progress update takes a while finds a full block waiting instead of
// being handed many small ones.
int EnlargeReceiveBuffer(void*, curl_socket_t socket, curlsocktype purpose) {
    if (purpose == CURLSOCKTYPE_IPCXN) {
        int size = static_cast<int>(kDownloadBufferSize) * 2;
        setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    return CURL_SOCKOPT_OK;
}

size_t OnDownloadData(char* data, size_t size, size_t count, void* userData) {
    auto* progress = static_cast<DownloadProgress*>(userData);
    size_t n = size * count;
    // A short write is not looked at here: verification finds the wrong size.
    std::fwrite(data, 1, n, progress->file);
    progress->bytesDone += static_cast<int64_t>(n);
    g_patchDialog->SetProgressPos(progress->bytesDone);
    if (progress->bytesDone - progress->bytesAtLastText > kBytesBetweenTexts) {
        g_patchDialog->SetStageText(
            DownloadProgressText(progress->bytesDone, progress->bytesTotal));
        progress->bytesAtLastText = progress->bytesDone;
    }
    return n;
}

}  // namespace

std::string DownloadProgressText(int64_t bytesDone, int64_t bytesTotal) {
    std::string text = "Downloading updates to game:  ";
    AppendOneDecimal(text, static_cast<double>(bytesDone) * kBytesToMebibytes);
    text += " of ";
    AppendOneDecimal(text, static_cast<double>(bytesTotal) * kBytesToMebibytes);
    text += " MB complete";
    return text;
}

void FilesToPatch::DownloadFiles() {
    CurlHandle handle(curl_easy_init());
    if (!handle)
        throw DownloadFailedException();
    DownloadProgress progress;
    ApplyTransferLimits(handle.get());
    curl_easy_setopt(handle.get(), CURLOPT_BUFFERSIZE, kDownloadBufferSize);
    curl_easy_setopt(handle.get(), CURLOPT_SOCKOPTFUNCTION, EnlargeReceiveBuffer);
    curl_easy_setopt(handle.get(), CURLOPT_WRITEFUNCTION, OnDownloadData);
    curl_easy_setopt(handle.get(), CURLOPT_WRITEDATA, &progress);

    progress.bytesTotal = totalDownloadSize;
    g_patchDialog->SetProgressPos(0);

    for (File& file : files) {
        if (file.rejected || !file.needsDownload)
            continue;
        std::string url = BuildPatchUrl(g_patchServer.buildPath + file.name);
        progress.file = std::fopen(file.name.c_str(), "wb");
        if (!progress.file)
            throw CouldntWriteFileException();
        curl_easy_setopt(handle.get(), CURLOPT_URL, url.c_str());
        curl_easy_perform(handle.get());
        std::fclose(progress.file);
        progress.file = nullptr;

        long status = 0;
        curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &status);
        if (status != 200)
            throw DownloadFailedException();

        FileVersionFile::SetVersion(file.name, file.version);

        if (SameNameIgnoringCase(file.name, kNewLauncherExe)) {
            FILE* fetched = std::fopen(kNewLauncherExe, "rb");
            if (!fetched || !IsIdenticalToLauncherExe(fetched))
                g_patchDialog->m_launcherUpdatePending = true;
        }
    }
}

bool FilesToPatch::VerifyFiles() {
    bool result = true;
    for (File& file : files) {
        if (file.rejected)
            return false;
        std::optional<int64_t> localSize = platform::OpenExistingForReadSize(file.name);
        if (!localSize) {
            platform::DeleteFileByName(file.name);
            result = false;
            continue;
        }
        if (file.sizeKnown && *localSize != file.size) {
            platform::DeleteFileByName(file.name);
            result = false;
            continue;
        }
        if (FileVersionFile::HasVersion(file.name, file.version))
            continue;
        FileVersionFile::SetVersion(file.name, file.version);
        if (SameNameIgnoringCase(file.name, kNewLauncherExe))
            g_patchDialog->m_launcherUpdatePending = false;
        platform::DeleteFileByName(file.name);
        result = false;
    }
    return result;
}

bool IsIdenticalToLauncherExe(FILE* other) {
    FILE* launcher = std::fopen(kLauncherExe, "rb");
    if (!launcher) {
        std::fclose(other);
        return false;
    }
    bool identical = true;
    char a[1 << 16];
    char b[1 << 16];
    for (;;) {
        size_t na = std::fread(a, 1, sizeof a, other);
        size_t nb = std::fread(b, 1, sizeof b, launcher);
        // fread fills its buffer unless the file ends, so equal files give
        // equal counts at every step.
        if (na != nb || std::memcmp(a, b, na) != 0) {
            identical = false;
            break;
        }
        if (na < sizeof a)
            break;
    }
    std::fclose(other);
    std::fclose(launcher);
    return identical;
}

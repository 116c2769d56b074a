#include "patch/HttpFetch.h"

#include <cstdio>

#include "patch/PatchExceptions.h"
#include "patch/PatchServer.h"

TransferLimits g_transferLimits;

void ApplyTransferLimits(CURL* handle) {
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, g_transferLimits.connectTimeoutSeconds);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, g_transferLimits.lowSpeedBytesPerSecond);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, g_transferLimits.lowSpeedSeconds);
}

namespace {

struct FetchTarget {
    FILE* file = nullptr;
    bool writeFailed = false;
};

}  // namespace

size_t WriteToFileCallback(char* data, size_t size, size_t count, void* userData) {
    auto* target = static_cast<FetchTarget*>(userData);
    size_t bytes = size * count;
    if (!target->file)
        return bytes;  // nowhere to put it: drop the body, keep the status
    if (std::fwrite(data, 1, bytes, target->file) != bytes) {
        target->writeFailed = true;
        return 0;  // ends the transfer
    }
    return bytes;
}

void FetchToFile(const std::string& localName, const std::string& serverPath, long* status) {
    std::string url = BuildPatchUrl(serverPath);
    FetchTarget target;
    target.file = std::fopen(localName.c_str(), "w+b");

    CURL* handle = curl_easy_init();
    if (handle) {
        ApplyTransferLimits(handle);
        curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, WriteToFileCallback);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, &target);
        curl_easy_perform(handle);
        curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, status);
        curl_easy_cleanup(handle);
    }
    if (target.file && std::fclose(target.file) != 0)
        target.writeFailed = true;
    if (target.writeFailed)
        throw FileWriteException();
}

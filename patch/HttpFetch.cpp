#include "patch/HttpFetch.h"

#include "patch/PatchServer.h"
#include "patch/RunContext.h"
#include "state/LocalFiles.h"

std::string TextFileUrl(const RunContext& run, const std::string& serverPath) {
    if (run.servers.text == 0 || run.servers.text >= run.servers.Count())
        return BuildPatchUrl(serverPath);
    // The same path under the fallback that serves the text files instead.
    const std::string& prefix = g_patchServer.serverPath;
    std::string relative = serverPath.compare(0, prefix.size(), prefix) == 0
                               ? serverPath.substr(prefix.size())
                               : serverPath;
    while (!relative.empty() && relative[0] == '/')
        relative.erase(0, 1);
    return run.servers.At(run.servers.text).address.Url(relative);
}

namespace {

// One text file from the text server, on a handle of its own.
bool FetchText(RunContext& run, TransferSink& sink, const std::string& serverPath, int64_t maxBytes,
               long* status) {
    // A pool of its own: a fresh handle and connection for each fetch.
    TransferPool pool(run, 1);
    if (!pool)
        return false;
    pool.ConfigureHandles([&](TransferHandle& handle) {
        curl_easy_setopt(handle.Get(), CURLOPT_TIMEOUT, run.limits.textFileDeadlineSeconds);
    });
    Transfer transfer(&sink);
    transfer.SetByteLimit(maxBytes);
    const TransferOutcome& outcome = pool.Perform(transfer, TextFileUrl(run, serverPath));
    *status = outcome.status;
    return outcome.status == 200 && outcome.Complete();
}

}  // namespace

bool FetchToFile(RunContext& run, const std::string& localName, const std::string& serverPath,
                 int64_t maxBytes, long* status) {
    *status = 0;
    // The body goes to a temporary file beside the local copy, so a broken
    // answer never replaces a good copy.
    ReplacementFile replacement(localName);
    if (!replacement.IsOpen())
        return false;
    FileSink sink(replacement.Stream());
    return FetchText(run, sink, serverPath, maxBytes, status) && replacement.Commit();
}

bool FetchToString(RunContext& run, const std::string& serverPath, int64_t maxBytes,
                   std::string* text, long* status) {
    *status = 0;
    text->clear();
    StringSink sink(text);
    return FetchText(run, sink, serverPath, maxBytes, status);
}

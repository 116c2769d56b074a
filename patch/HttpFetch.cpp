#include "patch/HttpFetch.h"

#include "patch/PatchServer.h"
#include "patch/RunContext.h"
#include "state/LocalFiles.h"

bool FetchToFile(RunContext& run, const std::string& localName, const std::string& serverPath,
                 int64_t maxBytes, long* status) {
    *status = 0;
    std::string url = BuildPatchUrl(serverPath);
    // The body goes to a temporary file beside the local copy, so a broken
    // answer never replaces a good copy.
    ReplacementFile replacement(localName);
    if (!replacement.IsOpen())
        return false;
    // A pool of its own: a fresh handle and connection for each fetch.
    TransferPool pool(run, 1);
    if (!pool)
        return false;
    pool.ConfigureHandles([&](TransferHandle& handle) {
        curl_easy_setopt(handle.Get(), CURLOPT_TIMEOUT, run.limits.textFileDeadlineSeconds);
    });
    FileSink sink(replacement.Stream());
    Transfer transfer(&sink);
    transfer.SetByteLimit(maxBytes);
    const TransferOutcome& outcome = pool.Perform(transfer, url);
    *status = outcome.status;
    return outcome.status == 200 && outcome.Complete() && replacement.Commit();
}

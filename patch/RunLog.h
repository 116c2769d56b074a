#pragma once
// What a patch run did, for front ends that show it (a console's verbose or
// machine-readable output): every request, why each file is fetched, and the
// check that failed. A front end hands one to a run in its RunContext; the
// calls come from the run's worker.

#include <cstdint>
#include <string>

class RunLog {
  public:
    virtual ~RunLog() = default;

    struct Request {
        std::string url;
        long status = 0;    // 0 without an answer
        int64_t bytes = 0;  // body bytes taken
        double seconds = 0;
        const char* end = "";  // "finished", "broken", "over-limit", "write-failed"
        std::string error;     // libcurl's reason when the transfer itself failed
    };
    enum class FetchReason { kUnknownSize, kMissing, kSize, kVersion, kHash };

    // A file that was brought up to date: how (`way`: "file", "compressed",
    // "delta" or "present", for a local file that already held the bytes),
    // the bytes that travelled for it and the bytes written. A way that
    // failed before the next one was tried comes with `fellBack` and why.
    struct Install {
        std::string name;
        const char* way = "file";
        int64_t travelled = 0;
        int64_t written = 0;
        std::string fellBack;
    };

    virtual void OnRequest(const Request& request) = 0;
    virtual void OnInstall(const Install& install) { (void)install; }
    virtual void OnFetch(const std::string& name, FetchReason reason) = 0;
    // A server of the run's that serves nothing more, and why (its base URL).
    virtual void OnServerSkipped(const std::string& server, const std::string& why) {
        (void)server;
        (void)why;
    }
    // What the run made of its servers: the mirror list, a fallback taken.
    virtual void OnServerNote(const std::string& text) { (void)text; }
    // What failed, in one line: a file and its write error, or a check.
    virtual void OnFailure(const std::string& cause) = 0;
};

const char* FetchReasonName(RunLog::FetchReason reason);

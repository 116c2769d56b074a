#include "patch/RunLog.h"

RunLog* g_runLog = nullptr;

void LogFetch(const std::string& name, RunLog::FetchReason reason) {
    if (g_runLog)
        g_runLog->OnFetch(name, reason);
}

void LogFailure(const std::string& cause) {
    if (g_runLog)
        g_runLog->OnFailure(cause);
}

const char* FetchReasonName(RunLog::FetchReason reason) {
    switch (reason) {
        case RunLog::FetchReason::kUnknownSize:
            return "size unknown";
        case RunLog::FetchReason::kMissing:
            return "missing";
        case RunLog::FetchReason::kSize:
            return "size";
        case RunLog::FetchReason::kVersion:
            return "version";
        case RunLog::FetchReason::kHash:
            return "hash";
    }
    return "";
}

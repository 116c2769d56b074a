#include "patch/RunLog.h"

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

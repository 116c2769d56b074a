#pragma once
// The settings of one patch run, in one value: what the front end chose
// before the run (bounds, width, cap, CA bundle, log, repair) and what the run
// takes when it starts (the cap's limiter, the proxy). The run hands it to
// every stage and the transfer engine reads it from there, per handle; no
// transfer reads a process-wide setting. Worker thread only while a run goes.

#include <chrono>
#include <string>
#include <vector>

#include "fileset/FilesToPatch.h"
#include "patch/Limits.h"
#include "patch/Mirrors.h"
#include "patch/RunLog.h"
#include "patch/RunNetwork.h"
#include "patch/Tls.h"

struct RunContext {
    // The build's width (LV_PARALLEL_TRANSFERS) and CA bundle (LV_CA_BUNDLE).
    RunContext();

    TransferLimits limits;
    // How many requests the size and download stages keep in flight: 1 is
    // one request after the other on one reused handle.
    int width;
    // The pause before a broken transfer's first resumed attempt (each later
    // one waits twice the one before).
    std::chrono::milliseconds firstResumePause = kFirstResumePause;
    TlsSettings tls;  // the build's, BuiltTlsSettings()
    // A front end's cap instead of the settings file's.
    RateLimitOverride rateOverride;
    // Taken by BeginRunNetwork when the run starts.
    RunNetwork network;
    // Null: nothing is reported and nothing else changes.
    RunLog* log = nullptr;
    // Re-hash the local files that carry a SHA256 tag and fetch the damaged;
    // what that found, for the front end after the run.
    bool repair = false;
    FilesToPatch::RepairCounts repairCounts;
    // Fetch every file whole, as if the manifest named no objects.
    bool plainFilesOnly = false;
    // Fetch the operator's mirror list (the build's LV_MIRRORS), and the
    // servers to ask when the patch server cannot be reached at all (the
    // build's LV_FALLBACK_MIRRORS).
    bool mirrorList;
    std::vector<std::string> fallbacks;
    // The run's servers, set when the run starts (patch/Mirrors.h).
    ServerSet servers;
};

// No-ops without a log.
void LogFetch(const RunContext& run, const std::string& name, RunLog::FetchReason reason);
void LogFailure(const RunContext& run, const std::string& cause);

#pragma once
// The player's network choices for one run, taken when the run starts: the
// bandwidth cap and the proxy. Every transfer of the run applies them
// (RunContext::network).

#include <curl/curl.h>

#include <cstdint>
#include <optional>
#include <string>

#include "patch/ProxyChoice.h"
#include "patch/RateLimiter.h"

struct RunNetwork {
    std::optional<RateLimiter> limiter;  // none: no cap
    ProxyChoice proxy;
};

// A front end's cap instead of the settings file's (lvpatch --limit-rate).
struct RateLimitOverride {
    bool active = false;
    std::optional<int64_t> bytesPerSecond;  // none: no cap
};

struct RunContext;

// Reads the settings file from the game folder and chooses the proxy for
// `url`, the patch server's address, into `run.network`; the run's
// rateOverride, when active, instead of the file's cap. Without the file: no
// cap, and the desktop's or the environment's proxy.
void BeginRunNetwork(RunContext& run, const std::string& url);

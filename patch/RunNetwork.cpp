#include "patch/RunNetwork.h"

RunNetwork g_runNetwork;
RateLimitOverride g_rateLimitOverride;

void BeginRunNetwork(const std::string& url) {
    Settings settings;
    settings.Load();
    std::optional<int64_t> rate =
        g_rateLimitOverride.active ? g_rateLimitOverride.bytesPerSecond : settings.LimitRate();
    g_runNetwork.limiter.reset();
    if (rate)
        g_runNetwork.limiter.emplace(*rate);
    g_runNetwork.proxy = ChooseProxy(settings.Proxy(), url);
}

void ApplyRunProxy(CURL* handle) {
    ApplyProxy(handle, g_runNetwork.proxy);
}

#include "patch/RunNetwork.h"

#include <thread>

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

void HoldBackForCap(int64_t bytes) {
    if (!g_runNetwork.limiter)
        return;
    RateLimiter& limiter = *g_runNetwork.limiter;
    limiter.Consume(bytes, RateLimiter::Clock::now());
    // sleep_for may wake early on some systems: ask again until paid.
    for (auto wait = limiter.Delay(RateLimiter::Clock::now()); wait > wait.zero();
         wait = limiter.Delay(RateLimiter::Clock::now()))
        std::this_thread::sleep_for(wait);
}

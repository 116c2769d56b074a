#include "patch/RunNetwork.h"

#include "patch/RunContext.h"

void BeginRunNetwork(RunContext& run, const std::string& url) {
    Settings settings;
    settings.Load();
    std::optional<int64_t> rate =
        run.rateOverride.active ? run.rateOverride.bytesPerSecond : settings.LimitRate();
    run.network.limiter.reset();
    if (rate)
        run.network.limiter.emplace(*rate);
    run.network.proxy = ChooseProxy(settings.Proxy(), url);
}

#include "patch/Mirrors.h"

#include <algorithm>
#include <memory>
#include <sstream>

#include "base/Sha256.h"
#include "patch/Ed25519.h"
#include "patch/HttpFetch.h"
#include "patch/PatchServer.h"
#include "patch/RunContext.h"
#include "patch/Statement.h"
#include "patch/Transfer.h"
#include "patch/Trust.h"
#include "platform/ReadableSize.h"

namespace {

// A mirror's manifest check: how long it may take to connect and in all.
constexpr long kMirrorConnectSeconds = 5;
constexpr long kMirrorCheckSeconds = 60;

}  // namespace

#ifndef LV_FALLBACK_MIRRORS
#define LV_FALLBACK_MIRRORS ""
#endif
#ifndef LV_MIRRORS
#define LV_MIRRORS 0
#endif

const std::vector<std::string>& BuiltFallbackMirrors() {
    static const std::vector<std::string> list = [] {
        std::vector<std::string> urls;
        std::istringstream in(LV_FALLBACK_MIRRORS);
        for (std::string url; in >> url;)
            urls.push_back(url);
        return urls;
    }();
    return list;
}

bool BuiltUsesMirrorList() {
    return LV_MIRRORS != 0;
}

void ServerSet::Reset(const ServerAddress& primary) {
    servers_.clear();
    Server server;
    server.address = primary;
    server.origin = "patch server";
    server.checked = true;
    servers_.push_back(std::move(server));
    text = 0;
    manifestSha256.clear();
    manifestSize = 0;
    buildsChecked_ = false;
}

bool ServerSet::Add(const ServerAddress& address, const char* origin) {
    const std::string base = address.Base();
    for (const Server& server : servers_)
        if (server.address.Base() == base)
            return false;
    Server server;
    server.address = address;
    server.origin = origin;
    servers_.push_back(std::move(server));
    buildsChecked_ = false;
    return true;
}

void ServerSet::CheckBuilds(RunContext& run) {
    if (buildsChecked_)
        return;
    buildsChecked_ = true;
    std::vector<size_t> unchecked;
    for (size_t i = 0; i < servers_.size(); ++i)
        if (!servers_[i].checked && servers_[i].skipped.empty())
            unchecked.push_back(i);
    if (unchecked.empty())
        return;
    // Only the hash is wanted: the bodies are read and dropped.
    std::vector<std::unique_ptr<Transfer>> fetches(unchecked.size());
    TransferPool pool(run, static_cast<int>(unchecked.size()));
    if (!pool) {
        for (size_t i : unchecked)
            Skip(run, i, "its manifest could not be asked for");
        return;
    }
    // A mirror that is down must not hold up the run for long: the patch
    // server serves meanwhile, and a mirror that cannot bring its manifest
    // in a minute would serve game files no better.
    pool.ConfigureHandles([&](TransferHandle& handle) {
        curl_easy_setopt(handle.Get(), CURLOPT_CONNECTTIMEOUT,
                         std::min(run.limits.connectTimeoutSeconds, kMirrorConnectSeconds));
        curl_easy_setopt(handle.Get(), CURLOPT_TIMEOUT,
                         std::min(run.limits.textFileDeadlineSeconds, kMirrorCheckSeconds));
    });
    const std::string relative = g_patchServer.buildFolder + kManifestFileName;
    pool.Run(
        unchecked.size(),
        [&](size_t k) {
            fetches[k] = std::make_unique<Transfer>();
            // Not a byte more than the run's own manifest has.
            fetches[k]->SetByteLimit(manifestSize);
            fetches[k]->EnableSha256();
            return std::optional<TransferJob>(
                TransferJob{servers_[unchecked[k]].address.Url(relative), fetches[k].get()});
        },
        [&](size_t k, const TransferOutcome& outcome) {
            const size_t i = unchecked[k];
            const std::string its = "its manifest " + relative;
            if (outcome.status == 0)
                Skip(run, i, its + " did not come");
            else if (outcome.status != 200)
                Skip(run, i, its + " answered " + std::to_string(outcome.status));
            else if (outcome.end == TransferOutcome::End::kOverLimit)
                Skip(run, i, "it serves another build (its manifest is longer)");
            else if (!outcome.Complete())
                Skip(run, i, its + " broke off");
            else if (outcome.sha256 != manifestSha256)
                Skip(run, i, "it serves another build (its manifest differs)");
            else
                servers_[i].checked = true;
        });
}

double ServerSet::Fastest() const {
    double fastest = 0;
    for (const Server& server : servers_)
        if (server.skipped.empty())
            fastest = std::max(fastest, server.bytesPerSecond);
    return fastest;
}

double ServerSet::SpeedOf(const Server& server, double fastest) const {
    // A server not measured yet counts as fast as the fastest, so that each
    // gets tried; a slow one gets a transfer only when the others are busy
    // enough to be slower for it.
    double speed = server.bytesPerSecond > 0 ? server.bytesPerSecond : fastest;
    // A server that slowed down, or whose first transfer is still trickling
    // in, loses its share now rather than when that ends.
    if (server.bytesPerSecondNow >= 0)
        speed = std::min(speed > 0 ? speed : server.bytesPerSecondNow, server.bytesPerSecondNow);
    return speed;
}

double ServerSet::Speed(size_t index) const {
    return SpeedOf(servers_[index], Fastest());
}

int ServerSet::Choose(int except) const {
    const double fastest = Fastest();
    int best = -1;
    double bestCost = 0;
    for (size_t i = 0; i < servers_.size(); ++i) {
        const Server& server = servers_[i];
        if (!server.skipped.empty() || !server.checked || static_cast<int>(i) == except)
            continue;
        const double cost = (server.active + 1) / std::max(1.0, SpeedOf(server, fastest));
        // On a tie the one that carried fewer so far, so that the servers
        // take turns rather than the first carrying all.
        if (best < 0 || cost < bestCost ||
            (cost == bestCost && server.started < servers_[static_cast<size_t>(best)].started)) {
            best = static_cast<int>(i);
            bestCost = cost;
        }
    }
    return best;
}

void ServerSet::Ended(size_t index, double bytesPerSecond, bool now) {
    Server& server = servers_[index];
    server.active = std::max(0, server.active - 1);
    if (bytesPerSecond < 0)
        return;
    // Measured at all, it is no longer taken for as fast as the fastest.
    const double speed = std::max(1.0, bytesPerSecond);
    // What a transfer brings now, moved away for it, stands for the server
    // (one that stalls after fast small files is not trusted with more);
    // ended transfers blend.
    server.bytesPerSecond =
        server.bytesPerSecond > 0 && !now ? 0.7 * server.bytesPerSecond + 0.3 * speed : speed;
}

void ServerSet::Skip(RunContext& run, size_t index, const std::string& why) {
    Server& server = servers_[index];
    if (!server.skipped.empty())
        return;
    server.skipped = why;
    if (run.log)
        run.log->OnServerSkipped(server.address.Base(), why);
}

namespace {

ServerAddress PrimaryAddress() {
    return ServerAddress{g_patchServer.scheme, g_patchServer.host, g_patchServer.port,
                         g_patchServer.serverPath};
}

void Note(const RunContext& run, const std::string& text) {
    if (run.log)
        run.log->OnServerNote(text);
}

// Why a server may not be asked at all, or nothing when it may.
std::string Unusable(const RunContext& run, const ServerAddress& address) {
    if (address.scheme != "https" && !run.tls.caBundle.empty())
        return "this launcher only talks HTTPS to its pinned servers";
    return {};
}

// Why a list does not belong to the accepted build, or nothing when it does.
std::string ListRefusal(const MirrorList& list, const BuildStatement* accepted) {
    if (!accepted)
        return {};
    if (!list.Signed())
        return "it is not signed";
    if (list.key != accepted->key)
        return "it is not signed by the key of the build's statement";
    if (list.product != accepted->product || list.channel != accepted->channel ||
        list.buildFolder != accepted->buildFolder ||
        list.manifestSha256 != accepted->manifestSha256)
        return "it was signed for another build";
    if (!VerifySignature(list.key, MirrorListBody(list), list.signature))
        return "its signature does not verify";
    return {};
}

}  // namespace

void BeginServers(RunContext& run) {
    run.servers.Reset(PrimaryAddress());
}

bool FetchFromFallback(RunContext& run, const std::function<bool()>& fetch, long primaryStatus) {
    if (run.fallbacks.empty() || run.servers.Count() == 0)
        return false;
    for (const std::string& url : run.fallbacks) {
        std::optional<ServerAddress> address = ParseServerAddress(url);
        if (!address) {
            Note(run, "fallback " + url + " is not a server address");
            continue;
        }
        if (!run.servers.Add(*address, "fallback"))
            continue;
        const size_t index = run.servers.Count() - 1;
        if (std::string why = Unusable(run, *address); !why.empty()) {
            run.servers.Skip(run, index, why);
            continue;
        }
        run.servers.text = index;
        if (fetch()) {
            run.servers.Skip(run, 0,
                             primaryStatus == 0 ? std::string("it could not be reached")
                                                : "it answered " + std::to_string(primaryStatus));
            // Whatever it serves next is the build the run takes.
            run.servers.MarkChecked(index);
            Note(run, "text files from the fallback " + address->Base());
            return true;
        }
        run.servers.Skip(run, index, "its build_folder.txt did not come");
    }
    run.servers.text = 0;
    return false;
}

void TakeMirrorList(RunContext& run, const BuildStatement* accepted) {
    if (run.servers.Count() == 0 || !run.mirrorList)
        return;
    std::string text;
    long status = 0;
    if (!FetchToString(run, g_patchServer.serverPath + kMirrorListFileName, kMaxMirrorListBytes,
                       &text, &status)) {
        Note(run, status == 404
                      ? std::string("no mirror list")
                      : "the mirror list did not come (status " + std::to_string(status) + ")");
        return;
    }
    std::optional<MirrorList> list = ParseMirrorList(text);
    std::string refusal = list ? ListRefusal(*list, TrustRequired() ? accepted : nullptr)
                               : std::string("it is not a mirror list");
    if (!refusal.empty()) {
        Note(run, "the mirror list is refused: " + refusal);
        return;
    }
    for (const std::string& url : list->mirrors) {
        const ServerAddress address = *ParseServerAddress(url);
        if (!run.servers.Add(address, "mirror"))
            continue;
        std::string why = Unusable(run, address);
        // Plain HTTP beside an HTTPS patch server would let anyone on the
        // way answer for the files the hash does not cover.
        if (why.empty() && address.scheme != "https" &&
            run.servers.At(run.servers.text).address.scheme == "https")
            why = "it is http:// and the patch server is https://";
        if (!why.empty())
            run.servers.Skip(run, run.servers.Count() - 1, why);
    }
    // What every mirror's manifest is held to.
    run.servers.manifestSha256 = Sha256FileHex(kManifestFileName).value_or("");
    run.servers.manifestSize = ReadableFileSize(kManifestFileName).value_or(0);
    Note(run, "mirror list: " + std::to_string(list->mirrors.size()) + " mirror" +
                  (list->mirrors.size() == 1 ? "" : "s"));
}

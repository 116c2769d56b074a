#include "patch/ProxyChoice.h"

#include <cstdlib>
#include <string_view>

#ifdef LV_HAVE_LIBPROXY
#include <proxy.h>

// Only the libproxy answer needs these; without it (the Windows build, a
// machine without libproxy) they would be unused.
namespace {

// "http://host:port/" and "host:port" name the same proxy.
std::string_view Bare(std::string_view proxy) {
    if (size_t scheme = proxy.find("://"); scheme != std::string_view::npos)
        proxy.remove_prefix(scheme + 3);
    while (!proxy.empty() && proxy.back() == '/')
        proxy.remove_suffix(1);
    return proxy;
}

// libproxy reads the environment itself when no desktop setting applies. Its
// answer is then left to libcurl, whose reading of the same variables is the
// launcher's behaviour without any setting.
bool NamedByEnvironment(std::string_view proxy) {
    for (const char* name :
         {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
        const char* value = std::getenv(name);
        if (value && *value && Bare(value) == Bare(proxy))
            return true;
    }
    return false;
}

// libproxy's schemes in libcurl's spelling; empty for those libcurl lacks.
std::string ForLibcurl(std::string_view proxy) {
    for (std::string_view scheme : {"http://", "https://", "socks4://", "socks4a://", "socks5://"})
        if (proxy.substr(0, scheme.size()) == scheme)
            return std::string(proxy);
    if (proxy.substr(0, 8) == "socks://")
        return "socks5://" + std::string(proxy.substr(8));
    return {};
}

}  // namespace
#endif

std::string DesktopProxy(const std::string& url) {
#ifdef LV_HAVE_LIBPROXY
    pxProxyFactory* factory = px_proxy_factory_new();
    if (!factory)
        return {};
    std::string found;
    if (char** proxies = px_proxy_factory_get_proxies(factory, url.c_str())) {
        // The first answer is the one to try; "direct://" means none.
        if (proxies[0] && std::string_view(proxies[0]) != "direct://" &&
            !NamedByEnvironment(proxies[0]))
            found = ForLibcurl(proxies[0]);
        px_proxy_factory_free_proxies(proxies);
    }
    px_proxy_factory_free(factory);
    return found;
#else
    (void)url;
    return {};
#endif
}

ProxyChoice ChooseProxy(const Settings::ProxySetting& setting, const std::string& url) {
    ProxyChoice choice;
    switch (setting.kind) {
        case Settings::ProxySetting::Kind::kUrl:
            choice.source = ProxyChoice::Source::kSetting;
            choice.proxy = setting.url;
            return choice;
        case Settings::ProxySetting::Kind::kNone:
            choice.source = ProxyChoice::Source::kSetting;
            return choice;
        case Settings::ProxySetting::Kind::kAutomatic:
            break;
    }
    std::string desktop = DesktopProxy(url);
    if (!desktop.empty()) {
        choice.source = ProxyChoice::Source::kDesktop;
        choice.proxy = desktop;
    }
    return choice;
}

void ApplyProxy(CURL* handle, const ProxyChoice& choice) {
    if (choice.source == ProxyChoice::Source::kEnvironment)
        return;
    // An empty string turns off libcurl's reading of the environment too.
    curl_easy_setopt(handle, CURLOPT_PROXY, choice.proxy.c_str());
}

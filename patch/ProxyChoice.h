#pragma once
// Which proxy a run's transfers take, in this order:
//   1. the player's "proxy" setting (a URL, or "none" for a direct line);
//   2. the desktop's proxy setting (GNOME, KDE, ... as libproxy reads it);
//   3. libcurl's own reading of the environment (http_proxy, all_proxy,
//      no_proxy, ...), which is also what happens with none of the above.
// Chosen once when a run starts, for the patch server's address.

#include <curl/curl.h>

#include <string>

#include "state/Settings.h"

struct ProxyChoice {
    enum class Source { kEnvironment, kSetting, kDesktop };
    Source source = Source::kEnvironment;
    // With kSetting or kDesktop: the proxy, or empty for a direct line.
    std::string proxy;
};

ProxyChoice ChooseProxy(const Settings::ProxySetting& setting, const std::string& url);

// What the desktop says for this URL: a proxy URL libcurl understands, or
// empty when it names none, names only what the environment already says,
// or cannot be asked.
std::string DesktopProxy(const std::string& url);

// kEnvironment leaves the handle to libcurl's defaults.
void ApplyProxy(CURL* handle, const ProxyChoice& choice);

// A settings file of any content: rewriting it unchanged gives back every
// byte, a value set is the value read, and what reaches libcurl as a proxy
// is a plain address.
#include <cstdlib>
#include <string>

#include "state/Settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    Settings settings;
    settings.Parse(text);
    std::string expected = text;
    if (!expected.empty() && expected.back() != '\n')
        expected += '\n';
    if (settings.Text() != expected)
        std::abort();

    if (std::optional<int64_t> rate = settings.LimitRate()) {
        if (*rate <= 0)
            std::abort();
        std::optional<int64_t> back = ParseRate(FormatRate(*rate));
        if (!back || *back < *rate - 1 || *back > *rate + 1)
            std::abort();
    }
    Settings::ProxySetting proxy = settings.Proxy();
    if (proxy.kind == Settings::ProxySetting::Kind::kUrl) {
        for (char c : proxy.url)
            if (static_cast<unsigned char>(c) <= ' ' || c == '@' || c == 0x7f)
                std::abort();
    }

    settings.SetLimitRate(64 * 1024);
    settings.Set(Settings::kProxyKey, "http://127.0.0.1:3128");
    Settings again;
    again.Parse(settings.Text());
    if (again.LimitRate() != 64 * 1024 || again.Proxy().url != "http://127.0.0.1:3128")
        std::abort();
    return 0;
}

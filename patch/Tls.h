#pragma once
// TLS for https:// patch-server addresses: certificates are always verified,
// against the system's CA store or the operator's own CA bundle.

#include <curl/curl.h>

#include <string>

struct TlsSettings {
    // Empty: libcurl's default, the system's CA store.
    std::string caBundle;
};
// The build's: LV_CA_BUNDLE. A run starts with it (RunContext::tls).
TlsSettings BuiltTlsSettings();

// Verification of the peer and its host name, and the CA bundle. Every easy
// handle that talks to the patch server gets these.
void ApplyTlsOptions(CURL* handle, const TlsSettings& tls);

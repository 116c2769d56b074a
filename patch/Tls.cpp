#include "patch/Tls.h"

#ifndef LV_CA_BUNDLE
#define LV_CA_BUNDLE ""
#endif

TlsSettings g_tlsSettings{LV_CA_BUNDLE};

void ApplyTlsOptions(CURL* handle) {
    // libcurl's defaults already verify; stated here so that no later
    // setting can quietly turn it off.
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!g_tlsSettings.caBundle.empty()) {
        // The operator's bundle alone: libcurl would otherwise go on trusting
        // the system's CA folder as well.
        curl_easy_setopt(handle, CURLOPT_CAINFO, g_tlsSettings.caBundle.c_str());
        curl_easy_setopt(handle, CURLOPT_CAPATH, nullptr);
    }
}

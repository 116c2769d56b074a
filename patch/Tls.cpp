#include "patch/Tls.h"

void ApplyTlsOptions(CURL* handle, const TlsSettings& tls) {
    // libcurl's defaults already verify; stated here so that no later
    // setting can quietly turn it off.
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!tls.caBundle.empty()) {
        // The operator's bundle alone: libcurl would otherwise go on trusting
        // the system's CA folder as well.
        curl_easy_setopt(handle, CURLOPT_CAINFO, tls.caBundle.c_str());
        curl_easy_setopt(handle, CURLOPT_CAPATH, nullptr);
    }
}

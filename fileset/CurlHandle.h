#pragma once
// One easy handle for one stage, released on every path out of it.

#include <curl/curl.h>

#include <memory>

struct CurlHandleDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlHandleDeleter>;

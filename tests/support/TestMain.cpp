#include <curl/curl.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

int main(int argc, char** argv) {
    // A server that closes a socket under a test must not kill the process.
    std::signal(SIGPIPE, SIG_IGN);
    // Every test server is on loopback: a proxy from the environment would
    // only stand in the way (and lvpatch processes inherit this environment).
    for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
        unsetenv(name);
    // Nor may a desktop's proxy setting (the proxy tests give lvpatch one).
    for (const char* name : {"DESKTOP_SESSION", "GNOME_DESKTOP_SESSION_ID", "KDE_FULL_SESSION"})
        unsetenv(name);
    curl_global_init(CURL_GLOBAL_ALL);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

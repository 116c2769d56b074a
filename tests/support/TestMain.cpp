#include <curl/curl.h>
#include <gtest/gtest.h>

#include <csignal>

int main(int argc, char** argv) {
    // A server that closes a socket under a test must not kill the process.
    std::signal(SIGPIPE, SIG_IGN);
    curl_global_init(CURL_GLOBAL_ALL);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

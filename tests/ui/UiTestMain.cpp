#include <curl/curl.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <csignal>
#include <cstdlib>
#include <memory>

#include "UiSupport.h"
#include "platform/Platform.h"
#include "ui/CExplorer1.h"

XServer* g_xserver = nullptr;

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
        unsetenv(name);
    testing::InitGoogleTest(&argc, argv);

    std::unique_ptr<XServer> xserver;
#ifdef LV_UI_TESTS_ON_X11
    // Listing the tests needs no server.
    if (!testing::GTEST_FLAG(list_tests))
        xserver = XServer::Start();
#endif
    if (xserver) {
        g_xserver = xserver.get();
        setenv("DISPLAY", xserver->Display().c_str(), 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
    } else {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
    }

    // As the launcher does: what its programs get is what it started with.
    platform::KeepStartEnvironment();
    CExplorer1::PrepareApplication();
    curl_global_init(CURL_GLOBAL_ALL);
    int result;
    {
        QApplication application(argc, argv);
        result = RUN_ALL_TESTS();
    }
    return result;
}

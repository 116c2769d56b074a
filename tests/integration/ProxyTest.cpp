// The proxy a run takes, through a real forward proxy on loopback: the
// player's setting first, then the desktop's, then the environment's.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ForwardProxy.h"
#include "NginxServer.h"
#include "PatchServerFixture.h"
#include "TestFolder.h"
#include "state/Settings.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

const std::string kLvpatch = LVPATCH_PATH;

// A port where nothing listens: a proxy there fails every request.
std::string DeadProxy() {
    return "http://127.0.0.1:" + std::to_string(FreeLoopbackPort());
}

class ProxyRun : public ::testing::Test {
  protected:
    void SetUp() override {
        PublishBuild(root_.Path(), {{"game.bin", std::string(300000, 'g'), 1, "GAME_EXE"},
                                    {"nosize.dat", "size by query", 1, "", false}});
        base_ = "http://127.0.0.1:" + std::to_string(nginx_.Port()) + "/lanternvale_patch/";
        WriteFile(game_.Path() + "/patch_server_address.txt", base_ + "\n");
    }

    // lvpatch with exactly these variables besides PATH and HOME.
    ProcessResult Run(const std::vector<std::string>& environment) {
        std::vector<std::string> argv = {"/usr/bin/env", "-i", "PATH=/usr/bin:/bin",
                                         "HOME=" + game_.Path()};
        argv.insert(argv.end(), environment.begin(), environment.end());
        argv.insert(argv.end(), {kLvpatch, "--dir", game_.Path()});
        return RunProcess(argv);
    }

    // The four requests of a fresh run, as the proxy saw them.
    std::vector<std::string> RunRequests() const {
        return {"GET " + base_ + "build_folder.txt", "GET " + base_ + "build_1/current2.txt",
                "GET " + base_ + "build_1/nosize.dat", "GET " + base_ + "build_1/game.bin",
                "GET " + base_ + "build_1/nosize.dat"};
    }

    // A GNOME desktop whose proxy setting is `proxyPort` on loopback, read
    // through GSettings' key-file back end. GNOME's own default leaves
    // loopback addresses out; here the test server must not be.
    std::vector<std::string> GnomeDesktop(int proxyPort) {
        MakeDirs(desktop_.Path() + "/glib-2.0/settings");
        WriteFile(desktop_.Path() + "/glib-2.0/settings/keyfile",
                  "[system/proxy]\nmode='manual'\nignore-hosts=@as "
                  "[]\n\n[system/proxy/http]\nhost='127.0.0.1'\n"
                  "port=" +
                      std::to_string(proxyPort) + "\n");
        return {"DESKTOP_SESSION=gnome", "GSETTINGS_BACKEND=keyfile",
                "XDG_CONFIG_HOME=" + desktop_.Path()};
    }

    void ExpectPatched(const ProcessResult& run) {
        EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
        EXPECT_EQ(ReadFile(game_.Path() + "/game.bin"), std::string(300000, 'g'));
    }

    TempDir root_;
    TempDir game_;
    TempDir desktop_;
    NginxServer nginx_{root_.Path()};
    ForwardProxy proxy_;
    std::string base_;
};

}  // namespace

TEST_F(ProxyRun, SettingSendsEveryRequestThroughTheProxyAndWinsOverDesktopAndEnvironment) {
    WriteFile(game_.Path() + "/" + Settings::kFileName, "proxy = " + proxy_.Url() + "\n");
    std::vector<std::string> environment = GnomeDesktop(FreeLoopbackPort());
    environment.push_back("http_proxy=" + DeadProxy());
    ExpectPatched(Run(environment));
    EXPECT_EQ(proxy_.Requests(), RunRequests());
}

TEST_F(ProxyRun, DesktopProxyWinsOverTheEnvironment) {
    std::vector<std::string> environment = GnomeDesktop(proxy_.Port());
    environment.push_back("http_proxy=" + DeadProxy());
    ExpectPatched(Run(environment));
    EXPECT_EQ(proxy_.Requests(), RunRequests());
}

TEST_F(ProxyRun, EnvironmentAppliesWithoutSettingOrDesktopAndNoneTurnsItOff) {
    ExpectPatched(Run({"http_proxy=" + proxy_.Url()}));
    EXPECT_EQ(proxy_.Requests(), RunRequests());

    // "none": a direct line whatever the environment and desktop say.
    RemoveTree(game_.Path() + "/game.bin");
    WriteFile(game_.Path() + "/" + Settings::kFileName, "proxy = none\n");
    std::vector<std::string> environment = GnomeDesktop(FreeLoopbackPort());
    environment.push_back("http_proxy=" + DeadProxy());
    ExpectPatched(Run(environment));
    EXPECT_EQ(proxy_.Requests().size(), RunRequests().size());  // none came through since
}

TEST_F(ProxyRun, WithoutAnySettingTheRunIsDirect) {
    ExpectPatched(Run({}));
    EXPECT_THAT(proxy_.Requests(), IsEmpty());
    EXPECT_EQ(nginx_.CountRequests("/lanternvale_patch/build_1/game.bin"), 1);
}

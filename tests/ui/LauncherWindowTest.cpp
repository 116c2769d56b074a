// The launcher window under a real Qt event loop, patching a real game folder
// from real HTTP servers on 127.0.0.1.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include "NginxServer.h"
#include "PatchServerFixture.h"
#include "TestFolder.h"
#include "TestHttpServer.h"
#include "UiSupport.h"
#include "res/LauncherLayout.h"
#include "patch/Trust.h"
#include "state/OptionsFile.h"
#include "ui/CExplorer1.h"
#include "ui/WindowSurface.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

const char kRunPending[] =
    "play:off 'Play' | test:hidden,off | options:hidden,off | download:hidden,on 'Download "
    "Patch' | status ''";
const char kRunActive[] =
    "play:off 'Play' | test:hidden,off | options:hidden,off | download:hidden,off "
    "'Downloading...' | status 'Checking for game updates...'";
const char kSucceededWithTestClient[] =
    "play:on 'Play' | test:shown,on | options:hidden,on | download:hidden,on 'Redownload Patch' "
    "| status ''";
const char kFailedStatus[] = "Patch not successful.  Click Download Patch to try again.";

class LauncherWindow : public ::testing::Test {
  protected:
    std::unique_ptr<COroPatch2007Dlg> Open() {
        auto window = std::make_unique<COroPatch2007Dlg>();
        window->SetMessageBoxes(boxes);
        window->show();
        return window;
    }

    // Destroys the window and waits until a run it left behind has ended, so
    // the next test starts with no worker.
    void Close(std::unique_ptr<COroPatch2007Dlg>& window) {
        std::weak_ptr<WindowSurface> bridge = window->Surface();
        window.reset();
        EXPECT_TRUE(WaitUntil([&] { return bridge.expired(); }));
    }

    std::string Stage(const COroPatch2007Dlg& window) {
        return static_cast<QLabel*>(window.Control(layout::kStageText))->text().toStdString();
    }
    QPushButton* Button(const COroPatch2007Dlg& window, int id) {
        return static_cast<QPushButton*>(window.Control(id));
    }

    FreshSettings settings;
    TestFolder game;
    TempDir serverRoot;
    std::shared_ptr<RecordingBoxes> boxes = std::make_shared<RecordingBoxes>();
};

// A real message box the run shows, once it is up.
QMessageBox* WaitForBox(const QString& caption) {
    QMessageBox* box = nullptr;
    WaitUntil([&] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget->isVisible() && widget->windowTitle() == caption)
                box = qobject_cast<QMessageBox*>(widget);
        }
        return box != nullptr;
    });
    return box;
}

std::vector<BuildFile> GameBuild() {
    return {
        {"game.bin", FakeProgramBytes(), 1, "GAME_EXE"},
        {"data/a.dat", std::string(3 << 20, 'a'), 1, ""},
        {"tc.bin", FakeProgramBytes(), 1, "TEST_CLIENT"},
    };
}

}  // namespace

TEST_F(LauncherWindow, AutoDownloadRunsAtOnceAndEndsInRunSucceeded) {
    PublishBuild(serverRoot.Path(), GameBuild());
    NginxServer nginx(serverRoot.Path());
    PointAt(nginx.Port());

    auto window = Open();
    // The run is only requested: it starts from the event loop.
    EXPECT_EQ(Describe(*window), kRunPending);
    EXPECT_EQ(Stage(*window), "");
    EXPECT_EQ(window->windowTitle().toStdString(), "Lantern Vale Launcher");
    EXPECT_EQ(static_cast<CExplorer1*>(window->Control(layout::kNewsView))->Url().toStdString(),
              "http://" LV_NEWS_HOST "/lanternvale_launcher/");

    ASSERT_TRUE(WaitUntil([&] { return window->RunActive(); }));
    ASSERT_TRUE(WaitUntil([&] { return !window->RunActive(); }));
    EXPECT_TRUE(boxes->boxes.empty());
    EXPECT_EQ(Describe(*window), kSucceededWithTestClient);
    EXPECT_EQ(Stage(*window), "You may now click Play to enter the game.");
    auto* bar = static_cast<QProgressBar*>(window->Control(layout::kProgress));
    EXPECT_EQ(bar->value(), bar->maximum());
    EXPECT_EQ(window->GameExe(), "game.bin");
    EXPECT_EQ(window->TestClient(), "tc.bin");
    EXPECT_EQ(ReadFile("data/a.dat").size(), 3u << 20);
    Close(window);
    // The window's destruction wrote the options it read.
    EXPECT_EQ(ReadFile(OptionsFile::kFileName), "NOAUTOPLAY\nAUTODOWNLOAD\n");
}

TEST_F(LauncherWindow, WithoutARunTheLocalManifestAndMarkersSetTheStart) {
    WriteFile(OptionsFile::kFileName, "noautodownload");
    WriteFile("windowed_mode.txt", "");
    {
        auto window = Open();
        QTest::qWait(200);
        EXPECT_FALSE(window->RunActive());
        EXPECT_EQ(Describe(*window),
                  "play:off 'Play' | test:hidden,off | options:hidden,off | download:hidden,on "
                  "'Download Patch' | status ''");
        EXPECT_TRUE(
            static_cast<QAbstractButton*>(window->Control(layout::kWindowedMode))->isChecked());
        // A timer id of no running timer changes nothing.
        window->OnTimer(COroPatch2007Dlg::kCountdownTimerId);
        window->OnTimer(COroPatch2007Dlg::kLaunchTimerId);
        window->OnTimer(77);
        EXPECT_TRUE(window->isVisible());
    }

    WriteFile("current2.txt", "game.bin 1 GAME_EXE\ntc.bin 1 TEST_CLIENT\n");
    ::unlink("windowed_mode.txt");
    {
        auto window = Open();
        QTest::qWait(200);
        EXPECT_FALSE(window->RunActive());
        // The test client is known but its button stays hidden until a run
        // ends or a start fails.
        EXPECT_EQ(Describe(*window),
                  "play:on 'Play' | test:hidden,on | options:hidden,off | download:hidden,on "
                  "'Download Patch' | status ''");
        EXPECT_FALSE(
            static_cast<QAbstractButton*>(window->Control(layout::kWindowedMode))->isChecked());
    }
}

TEST_F(LauncherWindow, RestartMarkerStartsARunWhateverTheOptionsSay) {
    WriteFile(OptionsFile::kFileName, "NOAUTODOWNLOAD");
    WriteFile("NoxPatch2011_was_restarted.txt", "");
    PublishBuild(serverRoot.Path(), GameBuild());
    NginxServer nginx(serverRoot.Path());
    PointAt(nginx.Port());

    auto window = Open();
    EXPECT_FALSE(FileExists("NoxPatch2011_was_restarted.txt"));
    ASSERT_TRUE(WaitUntil(
        [&] { return nginx.CountRequests("/lanternvale_patch/build_1/current2.txt") == 1; }));
    ASSERT_TRUE(WaitUntil([&] { return !window->RunActive(); }));
    EXPECT_EQ(Describe(*window), kSucceededWithTestClient);
}

TEST_F(LauncherWindow, FailedRunShowsItsBoxAndKeepsAKnownTestClient) {
    WriteFile(OptionsFile::kFileName, "NOAUTODOWNLOAD");
    WriteFile("current2.txt", "game.bin 1 GAME_EXE\ntc.bin 1 TEST_CLIENT\n");
    TestHttpServer server(TestHttpServer::Files({}));
    PointAt(server.Port());

    auto window = Open();
    QTest::qWait(100);
    window->OnDownloadPatch();
    EXPECT_TRUE(window->RunActive());
    ASSERT_TRUE(WaitUntil([&] { return !window->RunActive(); }));
    ASSERT_EQ(boxes->boxes.size(), 1u);
    EXPECT_FALSE(boxes->boxes[0].owned);
    EXPECT_EQ(boxes->boxes[0].caption, "Patch Server Unavailable");
    // The run cleared the game path; the test client known before it stays.
    EXPECT_EQ(Describe(*window),
              "play:off 'Play' | test:shown,on | options:hidden,on | download:hidden,on 'Download "
              "Patch' | status '" +
                  std::string(kFailedStatus) + "'");
    EXPECT_EQ(Stage(*window), "Downloading info from patch server...");
}

TEST_F(LauncherWindow, ABuildItCannotVerifyIsRefusedAndChangesNothing) {
    // A launcher built for an operator's key, served a build nobody signed.
    struct TrustedKey {
        TrustedKey() { SetTrustedKeyForTests(std::string(64, 'a')); }
        ~TrustedKey() { SetTrustedKeyForTests(""); }
    } key;
    WriteFile(OptionsFile::kFileName, "NOAUTODOWNLOAD");
    WriteFile("current2.txt", "game.bin 1 GAME_EXE\n");
    PublishBuild(serverRoot.Path(), GameBuild());
    NginxServer nginx(serverRoot.Path());
    PointAt(nginx.Port());

    auto window = Open();
    QTest::qWait(100);
    window->OnDownloadPatch();
    ASSERT_TRUE(WaitUntil([&] { return !window->RunActive(); }));
    ASSERT_EQ(boxes->boxes.size(), 1u);
    EXPECT_FALSE(boxes->boxes[0].owned);
    EXPECT_EQ(boxes->boxes[0].caption, "Update Could Not Be Verified");
    EXPECT_THAT(boxes->boxes[0].text, HasSubstr("nothing was changed"));
    EXPECT_THAT(boxes->boxes[0].text, HasSubstr("Reason: "));
    EXPECT_EQ(window->GameExe(), "");
    EXPECT_THAT(Describe(*window), HasSubstr(std::string("status '") + kFailedStatus + "'"));
    // What the window reads at its next start is still the last verified build.
    EXPECT_EQ(ReadFile("current2.txt"), "game.bin 1 GAME_EXE\n");
    EXPECT_FALSE(FileExists("game.bin"));
    EXPECT_FALSE(FileExists("data/a.dat"));
    Close(window);
}

TEST_F(LauncherWindow, SecondRequestDuringARunIsIgnoredAndClosingDoesNotWaitForIt) {
    auto server = std::make_unique<TestHttpServer>([](const TestRequest&) {
        TestReply reply;
        reply.kind = TestReply::Kind::kStall;
        return reply;
    });
    PointAt(server->Port());

    auto window = Open();
    ASSERT_TRUE(WaitUntil(
        [&] { return server->CountRequests("/lanternvale_patch/build_folder.txt") == 1; }));
    // The window shows the run's texts at its next frame.
    EXPECT_TRUE(WaitUntil([&] { return Describe(*window) == kRunActive; })) << Describe(*window);
    window->OnDownloadPatch();
    window->OnStartDownloadMessage(0, 0);
    Button(*window, layout::kDownloadPatch)->click();
    QTest::qWait(300);
    EXPECT_EQ(server->Requests().size(), 1u);
    EXPECT_EQ(Describe(*window), kRunActive);

    // The worker is stuck in its transfer; the window goes anyway.
    std::weak_ptr<WindowSurface> bridge = window->Surface();
    const auto closing = std::chrono::steady_clock::now();
    window->close();
    window.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - closing, std::chrono::seconds(2));
    EXPECT_EQ(ReadFile(OptionsFile::kFileName), "NOAUTOPLAY\nAUTODOWNLOAD\n");
    EXPECT_FALSE(bridge.expired());

    // Once the server goes the run fails; its box and its end reach nothing.
    server.reset();
    ASSERT_TRUE(WaitUntil([&] { return bridge.expired(); }));
    EXPECT_TRUE(boxes->boxes.empty());
    EXPECT_TRUE(FileExists("file_versions.txt"));
}

TEST_F(LauncherWindow, ClosingWhileTheRunShowsABoxReleasesTheRun) {
    TestHttpServer server(TestHttpServer::Files({}));
    PointAt(server.Port());
    auto window = std::make_unique<COroPatch2007Dlg>();  // the real boxes
    window->show();
    QMessageBox* box = WaitForBox("Patch Server Unavailable");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->parentWidget(), nullptr);
    // The run waits for the player while the window goes on working.
    QTest::qWait(200);
    EXPECT_TRUE(window->RunActive());

    QPointer<QWidget> watch(box);
    Close(window);
    EXPECT_TRUE(watch.isNull());
    EXPECT_EQ(ReadFile(OptionsFile::kFileName), "NOAUTOPLAY\nAUTODOWNLOAD\n");
}

TEST_F(LauncherWindow, DismissingTheRunsBoxLetsTheRunEnd) {
    TestHttpServer server(TestHttpServer::Files({}));
    PointAt(server.Port());
    auto window = std::make_unique<COroPatch2007Dlg>();
    window->show();
    QMessageBox* box = WaitForBox("Patch Server Unavailable");
    ASSERT_NE(box, nullptr);
    QTest::qWait(200);
    EXPECT_TRUE(window->RunActive());
    box->button(QMessageBox::Ok)->click();
    ASSERT_TRUE(WaitUntil([&] { return !window->RunActive(); }));
    EXPECT_EQ(static_cast<QLabel*>(window->Control(layout::kStatusText))->text().toStdString(),
              kFailedStatus);
    Close(window);
}

TEST_F(LauncherWindow, ProgressIsScaledAndClampedLikeTheNativeBar) {
    auto window = Open();
    QTest::qWait(50);
    auto* bar = static_cast<QProgressBar*>(window->Control(layout::kProgress));
    std::shared_ptr<WindowSurface> surface = window->Surface().lock();

    const int64_t fiveGiB = int64_t{5} << 30;
    surface->SetProgressRange(0, fiveGiB);
    surface->SetProgressPos(fiveGiB / 2);
    EXPECT_GT(bar->maximum(), 1 << 30);
    EXPECT_NEAR(static_cast<double>(bar->value()) / bar->maximum(), 0.5, 1e-6);
    surface->SetProgressPos(fiveGiB * 2);
    EXPECT_EQ(bar->value(), bar->maximum());
    surface->SetProgressPos(-5);
    EXPECT_EQ(bar->value(), bar->minimum());

    // Nothing to download: an empty bar, not a busy one.
    surface->SetProgressRange(0, 0);
    surface->SetProgressPos(0);
    EXPECT_LT(bar->minimum(), bar->maximum());
    EXPECT_EQ(bar->value(), bar->minimum());
    surface->SetProgressRange(0, 1);
    surface->SetProgressPos(1);
    EXPECT_EQ(bar->value(), bar->maximum());
    surface.reset();
    Close(window);
}

TEST_F(LauncherWindow, WindowedModeCheckBoxOnlyWritesItsMarker) {
    WriteFile(OptionsFile::kFileName, "NOAUTODOWNLOAD");
    auto window = Open();
    QTest::qWait(50);
    const std::string before = Describe(*window);
    auto* check = static_cast<QAbstractButton*>(window->Control(layout::kWindowedMode));
    check->click();
    EXPECT_TRUE(FileExists("windowed_mode.txt"));
    EXPECT_EQ(ReadFile("windowed_mode.txt"), "");
    check->click();
    EXPECT_FALSE(FileExists("windowed_mode.txt"));
    EXPECT_EQ(Describe(*window), before);
    EXPECT_FALSE(window->RunActive());
}

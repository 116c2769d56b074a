// Starting the game, the test client, the options program and the updated
// launcher from the window, with a stand-in program that records its runs.

#include <gtest/gtest.h>

#include <QPushButton>
#include <QTest>
#include <chrono>

#include "NginxServer.h"
#include "PatchServerFixture.h"
#include "TestFolder.h"
#include "UiSupport.h"
#include "res/LauncherLayout.h"
#include "state/OptionsFile.h"
#include "ui/WindowSurface.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const char kProgramStarted[] =
    "play:off 'Play' | test:hidden,off | options:hidden,off | download:hidden,off 'Download "
    "Patch' | status ''";

class Launching : public ::testing::Test {
  protected:
    // A window that starts without a run, knowing the programs of `manifest`.
    std::unique_ptr<COroPatch2007Dlg> OpenReady(const std::string& manifest,
                                                const std::string& options = "NOAUTODOWNLOAD") {
        WriteFile(OptionsFile::kFileName, options);
        WriteFile("current2.txt", manifest);
        auto window = std::make_unique<COroPatch2007Dlg>();
        window->SetMessageBoxes(boxes);
        QObject::connect(window.get(), &QDialog::finished, [this] { closedAt = Clock::now(); });
        window->show();
        return window;
    }

    bool WaitForClose() {
        return WaitUntil([&] { return closedAt != Clock::time_point(); }, std::chrono::seconds(30));
    }

    FreshSettings settings;
    TestFolder game;
    std::shared_ptr<RecordingBoxes> boxes = std::make_shared<RecordingBoxes>();
    Clock::time_point closedAt{};
};

}  // namespace

TEST_F(Launching, PlayStartsTheGameWithoutArgumentsAndClosesAfterThreeSeconds) {
    InstallFakeProgram("game.bin");
    auto window = OpenReady("game.bin 1 GAME_EXE\n");
    QTest::qWait(50);
    const Clock::time_point clicked = Clock::now();
    static_cast<QPushButton*>(window->Control(layout::kPlay))->click();
    EXPECT_EQ(Describe(*window), kProgramStarted);

    ASSERT_TRUE(WaitForClose());
    EXPECT_GE(closedAt - clicked, milliseconds(3000));
    EXPECT_LT(closedAt - clicked, milliseconds(15000));
    std::optional<FakeRun> run = ReadFakeRun("game.bin");
    ASSERT_TRUE(run);
    EXPECT_EQ(run->folder, game.Path());
    EXPECT_EQ(run->argumentCount, 0);
    EXPECT_TRUE(boxes->boxes.empty());
}

TEST_F(Launching, TestClientClosesTheLauncherAfterSixSeconds) {
    InstallFakeProgram("tc.bin");
    auto window = OpenReady("game.bin 1 GAME_EXE\ntc.bin 1 TEST_CLIENT\n");
    QTest::qWait(50);
    const Clock::time_point clicked = Clock::now();
    window->OnTestClient();
    ASSERT_TRUE(WaitForClose());
    EXPECT_GE(closedAt - clicked, milliseconds(6000));
    EXPECT_LT(closedAt - clicked, milliseconds(20000));
    ASSERT_TRUE(ReadFakeRun("tc.bin"));
    EXPECT_FALSE(ReadFakeRun("game.bin"));
}

TEST_F(Launching, AutoPlayCountsDownThenStartsTheGame) {
    InstallFakeProgram("game.bin");
    const Clock::time_point opened = Clock::now();
    auto window = OpenReady("game.bin 1 GAME_EXE\n", "NOAUTODOWNLOAD AUTOPLAY");
    auto* play = static_cast<QPushButton*>(window->Control(layout::kPlay));

    std::vector<std::string> captions;
    // Toggling windowed mode does not stop the countdown.
    static_cast<QAbstractButton*>(window->Control(layout::kWindowedMode))->click();
    WaitUntil([&] {
        std::string caption = play->text().toStdString();
        if (captions.empty() || captions.back() != caption)
            captions.push_back(caption);
        return ReadFakeRun("game.bin").has_value();
    });
    EXPECT_EQ(captions, (std::vector<std::string>{"Play (3)", "Play (2)", "Play (1)", "Play"}));
    ASSERT_TRUE(WaitForClose());
    // Three seconds of countdown, three more until the launcher closes.
    EXPECT_GE(closedAt - opened, milliseconds(6000));
    EXPECT_LT(closedAt - opened, milliseconds(25000));
}

TEST_F(Launching, PlayDuringTheCountdownStopsItAndStartsAtOnce) {
    InstallFakeProgram("game.bin");
    auto window = OpenReady("game.bin 1 GAME_EXE\n", "NOAUTODOWNLOAD AUTOPLAY");
    auto* play = static_cast<QPushButton*>(window->Control(layout::kPlay));
    QTest::qWait(50);
    EXPECT_EQ(play->text().toStdString(), "Play (3)");
    play->click();
    EXPECT_EQ(play->text().toStdString(), "Play");
    EXPECT_TRUE(WaitUntil([] { return ReadFakeRun("game.bin").has_value(); }));
    // The countdown would have fired by now had it kept running.
    QTest::qWait(1500);
    EXPECT_EQ(play->text().toStdString(), "Play");
    ASSERT_TRUE(WaitForClose());
}

TEST_F(Launching, FailuresToStartShowTheirMessagesAndGiveTheButtonsBack) {
    // Named by the manifest, but not on the disk.
    auto window = OpenReady("game.bin 1 GAME_EXE\ntc.bin 1 TEST_CLIENT\n");
    QTest::qWait(50);
    window->OnPlay();
    ASSERT_EQ(boxes->boxes.size(), 1u);
    EXPECT_TRUE(boxes->boxes[0].owned);
    EXPECT_EQ(boxes->boxes[0].caption, "Uh oh!");
    EXPECT_EQ(boxes->boxes[0].text,
              "The Launcher got some weird error when it tried to start the game program.  The "
              "Launcher is not sure what the error is.  After you click OK, try closing and "
              "reopening the Launcher.  Maybe that'll straighten things out so that clicking on "
              "Play will work.");
    EXPECT_EQ(Describe(*window),
              "play:on 'Play' | test:shown,on | options:hidden,on | download:hidden,on 'Download "
              "Patch' | status ''");

    window->OnTestClient();
    ASSERT_EQ(boxes->boxes.size(), 2u);
    EXPECT_EQ(boxes->boxes[1].caption, "Uh oh!");
    EXPECT_EQ(boxes->boxes[1].text, boxes->boxes[0].text);

    window->OnOptionsButton();
    ASSERT_EQ(boxes->boxes.size(), 3u);
    EXPECT_EQ(boxes->boxes[2].caption, "Uh oh!");
    EXPECT_EQ(boxes->boxes[2].text,
              "This Launcher got some weird error when it tried to start the Options window.");
    QTest::qWait(100);
    EXPECT_TRUE(window->isVisible());
}

TEST_F(Launching, MissingProgramsAreReportedAndChangeNothing) {
    auto window = OpenReady("data.bin 1\n");
    QTest::qWait(50);
    const std::string before = Describe(*window);
    window->OnPlay();
    window->OnTestClient();
    ASSERT_EQ(boxes->boxes.size(), 2u);
    EXPECT_EQ(boxes->boxes[0].caption, "Error");
    EXPECT_EQ(boxes->boxes[0].text, "The Game EXE is not set.");
    EXPECT_EQ(boxes->boxes[1].caption, "Error");
    EXPECT_EQ(boxes->boxes[1].text, "There is no Test Client available at this time.");
    EXPECT_EQ(Describe(*window), before);
}

TEST_F(Launching, OptionsButtonStartsAnotherOptionsProgramEachTime) {
    InstallFakeProgram("NoxOptions.exe");
    auto window = OpenReady("game.bin 1 GAME_EXE\n");
    QTest::qWait(50);
    const std::string before = Describe(*window);
    window->OnOptionsButton();
    ASSERT_TRUE(WaitUntil([] { return ReadFakeRun("NoxOptions.exe").has_value(); }));
    ::unlink("NoxOptions.exe.ran");
    window->OnOptionsButton();
    ASSERT_TRUE(WaitUntil([] { return ReadFakeRun("NoxOptions.exe").has_value(); }));
    EXPECT_TRUE(boxes->boxes.empty());
    EXPECT_EQ(Describe(*window), before);
    QTest::qWait(200);
    EXPECT_TRUE(window->isVisible());
}

TEST_F(Launching, ARunThatFetchedANewLauncherHandsOverToIt) {
    TempDir serverRoot;
    PublishBuild(serverRoot.Path(), {
                                        {"game.bin", "game", 1, "GAME_EXE"},
                                        {"NoxPatch2011_new.exe", FakeProgramBytes(), 2, ""},
                                    });
    NginxServer nginx(serverRoot.Path());
    PointAt(nginx.Port());
    WriteFile("NoxPatch2011.exe", "the old launcher");

    auto window = OpenReady("");
    window->OnDownloadPatch();
    ASSERT_TRUE(WaitForClose());
    EXPECT_TRUE(FileExists("NoxPatch2011_updating.txt"));
    ASSERT_TRUE(WaitUntil([] { return ReadFakeRun("NoxPatch2011_new.exe").has_value(); }));
    EXPECT_EQ(ReadFakeRun("NoxPatch2011_new.exe")->argumentCount, 0);
    EXPECT_TRUE(boxes->boxes.empty());
}

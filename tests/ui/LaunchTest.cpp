// Starting the game, the test client, the options program and the updated
// launcher from the window, with a stand-in program that records its runs.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QPushButton>
#include <QTest>
#include <chrono>
#include <filesystem>
#include <set>

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
    // What the launcher holds that a started program must not get: a
    // descriptor open across exec, a blocked signal (SIGPIPE is ignored by
    // this process, as in the launcher) and a variable set after start-up.
    const int leaked = ::open("/dev/null", O_RDONLY);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    ::setenv("LV_SET_AFTER_START", "1", 1);
    const Clock::time_point clicked = Clock::now();
    static_cast<QPushButton*>(window->Control(layout::kPlay))->click();
    pthread_sigmask(SIG_UNBLOCK, &blocked, nullptr);
    ::unsetenv("LV_SET_AFTER_START");
    ::close(leaked);
    EXPECT_EQ(Describe(*window), kProgramStarted);

    ASSERT_TRUE(WaitForClose());
    EXPECT_GE(closedAt - clicked, milliseconds(3000));
    EXPECT_LT(closedAt - clicked, milliseconds(15000));
    std::optional<FakeRun> run = ReadFakeRun("game.bin");
    ASSERT_TRUE(run);
    EXPECT_EQ(run->folder, game.Path());
    EXPECT_EQ(run->argumentCount, 0);
    EXPECT_EQ(run->descriptors, (std::set<int>{0, 1, 2}));
    EXPECT_EQ(MaskWithoutLibrarySignals(run->ignoredSignals), 0u) << run->ignoredSignals;
    EXPECT_EQ(MaskWithoutLibrarySignals(run->blockedSignals), 0u) << run->blockedSignals;
    EXPECT_EQ(run->environment.count("LV_SET_AFTER_START=1"), 0u);
    EXPECT_EQ(run->environment.count("QT_QPA_PLATFORM=offscreen"), 1u);
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
    // The manifest may spell the successor in any letter case; on a disk that
    // tells them apart the one fetched is the one compared and started, not a
    // stale copy under the usual name that matches the running launcher.
    for (const std::string successor : {"NoxPatch2011_new.exe", "noxpatch2011_new.exe"}) {
        SCOPED_TRACE(successor);
        TestFolder folder;
        TempDir serverRoot;
        PublishBuild(serverRoot.Path(), {
                                            {"game.bin", "game", 1, "GAME_EXE"},
                                            {successor, FakeProgramBytes(), 2, ""},
                                        });
        NginxServer nginx(serverRoot.Path());
        PointAt(nginx.Port());
        WriteFile("NoxPatch2011.exe", "the old launcher");
        if (successor != "NoxPatch2011_new.exe")
            WriteFile("NoxPatch2011_new.exe", "the old launcher");

        closedAt = {};
        auto window = OpenReady("");
        window->OnDownloadPatch();
        ASSERT_TRUE(WaitForClose());
        EXPECT_TRUE(FileExists("NoxPatch2011_updating.txt"));
        ASSERT_TRUE(WaitUntil([&] { return ReadFakeRun(successor).has_value(); }));
        EXPECT_EQ(ReadFakeRun(successor)->argumentCount, 0);
        EXPECT_TRUE(boxes->boxes.empty());
    }
}

TEST_F(Launching, NamesThatFailTheNameCheckAreNoProgramAtAll) {
    TempDir outside;
    const std::string program = outside.Path() + "/prog";
    std::filesystem::copy_file(FAKE_GAME_PATH, program);
    ::chmod(program.c_str(), 0644);  // as a download would leave it
    const std::string outsideFolder = program.substr(0, program.rfind('/'));
    const std::string up = "../" + outsideFolder.substr(outsideFolder.rfind('/') + 1) + "/prog";
    for (const std::string& name : {program, up, std::string("NoxPatch2011.exe")}) {
        SCOPED_TRACE(name);
        boxes->boxes.clear();
        auto window = OpenReady(name + " 1 GAME_EXE\n" + name + " 1 TEST_CLIENT\n");
        QTest::qWait(20);
        EXPECT_FALSE(window->Control(layout::kPlay)->isEnabled());
        EXPECT_FALSE(window->Control(layout::kTestClient)->isEnabled());
        window->OnPlay();
        window->OnTestClient();
        EXPECT_EQ(boxes->Captions(), (std::vector<std::string>{"Error", "Error"}));
        ASSERT_EQ(boxes->boxes.size(), 2u);
        EXPECT_EQ(boxes->boxes[0].text, "The Game EXE is not set.");
        EXPECT_EQ(boxes->boxes[1].text, "There is no Test Client available at this time.");
    }
    struct stat st {};
    ASSERT_EQ(::stat(program.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_FALSE(FileExists(outside.Path() + "/prog.ran"));
    EXPECT_FALSE(ReadFakeRun("prog"));
}

TEST_F(Launching, ABackslashInTheProgramNameSeparatesFolders) {
    MakeDirs("bin");
    InstallFakeProgram("bin/game.bin");
    auto window = OpenReady("bin\\game.bin 1 GAME_EXE\n");
    QTest::qWait(20);
    window->OnPlay();
    EXPECT_TRUE(boxes->boxes.empty());
    EXPECT_TRUE(WaitUntil([] { return ReadFakeRun("game.bin").has_value(); }));
    EXPECT_EQ(window->GameExe(), "bin\\game.bin");  // kept as the manifest wrote it
    ASSERT_TRUE(WaitForClose());
}

TEST_F(Launching, EnterAndEscapeCloseTheWindowAndStartNothing) {
    InstallFakeProgram("game.bin");
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
        // With the countdown running and Play holding the focus: the state in
        // which a pressed key would most likely start the game.
        closedAt = {};
        auto window = OpenReady("game.bin 1 GAME_EXE\n", "NOAUTODOWNLOAD AUTOPLAY");
        auto* play = static_cast<QPushButton*>(window->Control(layout::kPlay));
        play->setFocus();
        QTest::qWait(20);
        ASSERT_EQ(play->text().toStdString(), "Play (3)");
        QTest::keyClick(play, key);
        EXPECT_NE(closedAt, Clock::time_point()) << "key " << key;
        EXPECT_TRUE(play->isEnabled()) << "key " << key;  // Play was not pressed
    }
    EXPECT_FALSE(ReadFakeRun("game.bin"));
    EXPECT_TRUE(boxes->boxes.empty());
}

TEST_F(Launching, OptionsSavedWhileTheLauncherRunsAreKept) {
    auto window = OpenReady("game.bin 1 GAME_EXE\n", "NOAUTOPLAY\nNOAUTODOWNLOAD\n");
    QTest::qWait(20);
    // The options program saves while the launcher is open.
    WriteFile(OptionsFile::kFileName, "autoplay\r\nnoautodownload\r\n");
    window.reset();
    EXPECT_EQ(ReadFile(OptionsFile::kFileName), "AUTOPLAY\nNOAUTODOWNLOAD\n");
}

// Tests that need a real X server (Xvfb, started by this program's main):
// the options program's window found by its title, and the launcher program
// closed through its window while a run is going on.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <QGuiApplication>
#include <QTest>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "PatchServerFixture.h"
#include "TestFolder.h"
#include "TestHttpServer.h"
#include "UiSupport.h"
#include "res/LauncherLayout.h"
#include "state/OptionsFile.h"
#include "ui/WindowFinder.h"

extern char** environ;

// Set by main when an X server runs for these tests.
extern XServer* g_xserver;

namespace {

using Clock = std::chrono::steady_clock;

const char kOptionsTitle[] = "Lantern Vale Launcher Options";

xcb_connection_t* Connection() {
    return qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection();
}

xcb_atom_t Atom(const char* name) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        Connection(),
        xcb_intern_atom(Connection(), 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
    xcb_atom_t atom = reply->atom;
    std::free(reply);
    return atom;
}

bool Viewable(uint32_t window) {
    xcb_get_window_attributes_reply_t* reply = xcb_get_window_attributes_reply(
        Connection(), xcb_get_window_attributes(Connection(), window), nullptr);
    bool viewable = reply && reply->map_state == XCB_MAP_STATE_VIEWABLE;
    std::free(reply);
    return viewable;
}

// What the close box does: asks the program to close the window.
void SendDeleteWindow(uint32_t window) {
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = Atom("WM_PROTOCOLS");
    event.data.data32[0] = Atom("WM_DELETE_WINDOW");
    event.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(Connection(), 0, window, XCB_EVENT_MASK_NO_EVENT,
                   reinterpret_cast<const char*>(&event));
    xcb_flush(Connection());
}

std::optional<uint32_t> WaitForWindow(const std::string& title) {
    std::optional<uint32_t> window;
    WaitUntil([&] { return (window = ui::FindTopLevelWindow(title)).has_value(); });
    return window;
}

// Starts `program` in the current folder, its output going to `log`.
pid_t Start(const std::string& program, const std::string& log) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::string path = program;
    char* argv[] = {path.data(), nullptr};
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

// The exit status, or nothing when the process is still running at `limit`.
std::optional<int> WaitForExit(pid_t pid, std::chrono::seconds limit) {
    const Clock::time_point end = Clock::now() + limit;
    while (Clock::now() < end) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::nullopt;
}

class OnX11 : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!g_xserver)
            GTEST_SKIP() << "no X server: Xvfb is not installed or did not start";
    }

    void TearDown() override {
        // A program a test started must not outlive it: it would hold the
        // test's output open and keep ctest waiting.
        for (const char* name : {"/NoxOptions.exe", "/NoxPatch2011.exe"})
            for (int pid : ProcessesRunning(game.Path() + name))
                ::kill(pid, SIGKILL);
    }

    FreshSettings settings;
    TestFolder game;
};

}  // namespace

TEST_F(OnX11, OpenOptionsWindowBlocksPlayAndDownloadAndIsBroughtBack) {
    std::filesystem::copy_file(OPTIONS_PATH, "NoxOptions.exe");
    InstallFakeProgram("game.bin");
    WriteFile(OptionsFile::kFileName, "NOAUTODOWNLOAD");
    WriteFile("current2.txt", "game.bin 1 GAME_EXE\n");
    auto boxes = std::make_shared<RecordingBoxes>();
    auto window = std::make_unique<COroPatch2007Dlg>();
    window->SetMessageBoxes(boxes);
    window->show();
    EXPECT_FALSE(ui::FindTopLevelWindow(kOptionsTitle));

    window->OnOptionsButton();
    std::optional<uint32_t> options = WaitForWindow(kOptionsTitle);
    ASSERT_TRUE(options);
    xcb_unmap_window(Connection(), *options);
    xcb_flush(Connection());
    ASSERT_TRUE(WaitUntil([&] { return !Viewable(*options); }));

    const std::string before = Describe(*window);
    window->OnPlay();
    window->OnDownloadPatch();
    ASSERT_EQ(boxes->boxes.size(), 2u);
    for (const RecordingBoxes::Box& box : boxes->boxes) {
        EXPECT_TRUE(box.owned);
        EXPECT_EQ(box.caption, "Need to close the options window");
        EXPECT_EQ(box.text,
                  "You must close the Launcher Options window before playing or downloading a "
                  "patch.");
    }
    EXPECT_TRUE(WaitUntil([&] { return Viewable(*options); }));
    EXPECT_FALSE(window->RunActive());
    EXPECT_EQ(Describe(*window), before);
    QTest::qWait(300);
    EXPECT_FALSE(ReadFakeRun("game.bin"));

    // Once it is closed, Play goes ahead.
    SendDeleteWindow(*options);
    ASSERT_TRUE(WaitUntil([&] { return !ui::FindTopLevelWindow(kOptionsTitle); }));
    window->OnPlay();
    EXPECT_TRUE(WaitUntil([] { return ReadFakeRun("game.bin").has_value(); }));
    EXPECT_EQ(boxes->boxes.size(), 2u);
}

namespace {

// Starts the launcher program in the game folder, waits until its run is
// stuck (in a transfer, or behind a box), closes its window the way the close
// box does, and expects the process to end promptly having written its
// options.
void CloseLauncherDuringRun(const std::function<bool()>& runIsStuck) {
    const pid_t launcher = Start(LAUNCHER_PATH, "launcher.log");
    ASSERT_GT(launcher, 0);
    std::optional<uint32_t> window = WaitForWindow(layout::kCaption);
    if (!window || !WaitUntil(runIsStuck)) {
        ::kill(launcher, SIGKILL);
        ::waitpid(launcher, nullptr, 0);
        FAIL() << "the launcher did not get into its run\n" << ReadFile("launcher.log");
    }
    // Looked up again: the window is made anew when the web view joins it.
    window = ui::FindTopLevelWindow(layout::kCaption);
    ASSERT_TRUE(window);
    SendDeleteWindow(*window);
    std::optional<int> status = WaitForExit(launcher, std::chrono::seconds(10));
    if (!status) {
        ::kill(launcher, SIGKILL);
        ::waitpid(launcher, nullptr, 0);
    }
    ASSERT_TRUE(status) << "the launcher did not end\n" << ReadFile("launcher.log");
    EXPECT_EQ(*status, 0) << ReadFile("launcher.log");
    EXPECT_EQ(ReadFile(OptionsFile::kFileName), "NOAUTOPLAY\nAUTODOWNLOAD\n");
}

}  // namespace

TEST_F(OnX11, ClosingTheLauncherDuringAStalledTransferEndsIt) {
    TestHttpServer server([](const TestRequest&) {
        TestReply reply;
        reply.kind = TestReply::Kind::kStall;
        return reply;
    });
    PointAt(server.Port());
    CloseLauncherDuringRun([&] { return server.Requests().size() == 1; });
}

TEST_F(OnX11, ClosingTheLauncherWhileItsRunShowsABoxEndsIt) {
    TestHttpServer server(TestHttpServer::Files({}));
    PointAt(server.Port());
    CloseLauncherDuringRun(
        [] { return ui::FindTopLevelWindow("Patch Server Unavailable").has_value(); });
}

// Tests that need a real X server (Xvfb, started by this program's main):
// the options program's window found by its title, and the launcher program
// closed through its window while a run is going on.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
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
    // Not in the form either program writes: closing the options program
    // with its close box must leave it exactly so.
    const std::string options = "noautodownload   noautoplay extra\r\n";
    WriteFile(OptionsFile::kFileName, options);
    WriteFile("current2.txt", "game.bin 1 GAME_EXE\n");
    auto boxes = std::make_shared<RecordingBoxes>();
    auto window = std::make_unique<COroPatch2007Dlg>();
    window->SetMessageBoxes(boxes);
    window->show();
    EXPECT_FALSE(ui::FindTopLevelWindow(kOptionsTitle));

    window->OnOptionsButton();
    std::optional<uint32_t> optionsWindow = WaitForWindow(kOptionsTitle);
    ASSERT_TRUE(optionsWindow);
    xcb_unmap_window(Connection(), *optionsWindow);
    xcb_flush(Connection());
    ASSERT_TRUE(WaitUntil([&] { return !Viewable(*optionsWindow); }));

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
    EXPECT_TRUE(WaitUntil([&] { return Viewable(*optionsWindow); }));
    EXPECT_FALSE(window->RunActive());
    EXPECT_EQ(Describe(*window), before);
    QTest::qWait(300);
    EXPECT_FALSE(ReadFakeRun("game.bin"));

    // Once it is closed, Play goes ahead.
    SendDeleteWindow(*optionsWindow);
    ASSERT_TRUE(WaitUntil([&] { return !ui::FindTopLevelWindow(kOptionsTitle); }));
    ASSERT_TRUE(
        WaitUntil([&] { return ProcessesRunning(game.Path() + "/NoxOptions.exe").empty(); }));
    EXPECT_EQ(ReadFile(OptionsFile::kFileName), options);
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

namespace {

xcb_window_t Root() {
    return xcb_setup_roots_iterator(xcb_get_setup(Connection())).data->root;
}

// A window manager on the test's X server for the life of the object.
class WindowManager {
  public:
    explicit WindowManager(std::vector<std::string> command) {
        if (::access(command[0].c_str(), X_OK) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        std::vector<char*> argv;
        for (std::string& word : command)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        if (pid_ > 0 && !Managing())
            Stop();
    }
    ~WindowManager() { Stop(); }
    bool Running() const { return pid_ > 0; }

    static bool HasProperty(xcb_window_t window, xcb_atom_t property) {
        xcb_get_property_reply_t* reply = xcb_get_property_reply(
            Connection(),
            xcb_get_property(Connection(), 0, window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 1),
            nullptr);
        const bool has = reply && reply->type != XCB_ATOM_NONE;
        std::free(reply);
        return has;
    }

  private:
    // True once a window mapped now is taken over by the manager: it lists
    // the window among its clients.
    bool Managing() {
        const xcb_window_t probe = xcb_generate_id(Connection());
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(Connection())).data;
        xcb_create_window(Connection(), XCB_COPY_FROM_PARENT, probe, Root(), 0, 0, 64, 64, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
        const xcb_atom_t clients = Atom("_NET_CLIENT_LIST");
        // Mapped again until the manager has taken it: a request sent while
        // it was still starting may never be answered.
        const bool managed = WaitUntil([&] {
            xcb_map_window(Connection(), probe);
            xcb_flush(Connection());
            QTest::qWait(50);
            xcb_get_property_reply_t* reply = xcb_get_property_reply(
                Connection(),
                xcb_get_property(Connection(), 0, Root(), clients, XCB_ATOM_WINDOW, 0, 1024),
                nullptr);
            bool listed = false;
            if (reply && reply->format == 32) {
                const auto* ids = static_cast<const xcb_window_t*>(xcb_get_property_value(reply));
                for (int i = 0; i < xcb_get_property_value_length(reply) / 4; ++i)
                    listed = listed || ids[i] == probe;
            }
            std::free(reply);
            return listed;
        });
        xcb_destroy_window(Connection(), probe);
        xcb_flush(Connection());
        return managed;
    }

    void Stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
            // The next manager (or none) starts from a root without this one.
            xcb_delete_property(Connection(), Root(), Atom("_NET_SUPPORTING_WM_CHECK"));
            xcb_flush(Connection());
        }
    }
    pid_t pid_ = -1;
};

// Where a window's client area lies on the screen, as the X server has it.
struct ScreenRect {
    int16_t x = 0, y = 0;
    uint16_t width = 0, height = 0;
};

ScreenRect OnScreen(xcb_window_t window) {
    ScreenRect rect;
    xcb_get_geometry_reply_t* geometry =
        xcb_get_geometry_reply(Connection(), xcb_get_geometry(Connection(), window), nullptr);
    xcb_translate_coordinates_reply_t* origin = xcb_translate_coordinates_reply(
        Connection(), xcb_translate_coordinates(Connection(), window, Root(), 0, 0), nullptr);
    if (geometry && origin)
        rect = {origin->dst_x, origin->dst_y, geometry->width, geometry->height};
    std::free(geometry);
    std::free(origin);
    return rect;
}

// How many different colours the screen shows in `rect`: one for a window
// nobody painted, many once text and a button are drawn.
size_t ColoursShown(const ScreenRect& rect) {
    if (rect.width == 0 || rect.height == 0)
        return 0;
    xcb_get_image_reply_t* image =
        xcb_get_image_reply(Connection(),
                            xcb_get_image(Connection(), XCB_IMAGE_FORMAT_Z_PIXMAP, Root(), rect.x,
                                          rect.y, rect.width, rect.height, ~0u),
                            nullptr);
    std::set<uint32_t> colours;
    if (image) {
        const auto* pixels = reinterpret_cast<const uint32_t*>(xcb_get_image_data(image));
        const int count = xcb_get_image_data_length(image) / 4;
        for (int i = 0; i < count; ++i)
            colours.insert(pixels[i] & 0xffffff);
    }
    std::free(image);
    return colours.size();
}

xcb_window_t InputFocus() {
    xcb_get_input_focus_reply_t* reply =
        xcb_get_input_focus_reply(Connection(), xcb_get_input_focus(Connection()), nullptr);
    const xcb_window_t focus = reply ? reply->focus : xcb_window_t{XCB_NONE};
    std::free(reply);
    return focus;
}

xcb_keycode_t KeycodeOf(xcb_keysym_t keysym) {
    const xcb_setup_t* setup = xcb_get_setup(Connection());
    const int count = setup->max_keycode - setup->min_keycode + 1;
    xcb_get_keyboard_mapping_reply_t* reply = xcb_get_keyboard_mapping_reply(
        Connection(),
        xcb_get_keyboard_mapping(Connection(), setup->min_keycode, static_cast<uint8_t>(count)),
        nullptr);
    xcb_keycode_t keycode = 0;
    if (reply) {
        const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply);
        for (int i = 0; i < count * reply->keysyms_per_keycode && keycode == 0; ++i)
            if (syms[i] == keysym)
                keycode =
                    static_cast<xcb_keycode_t>(setup->min_keycode + i / reply->keysyms_per_keycode);
    }
    std::free(reply);
    return keycode;
}

// Real input through the X server, as a player's keyboard and mouse give it.
void PressKey(xcb_keysym_t keysym) {
    const xcb_keycode_t key = KeycodeOf(keysym);
    xcb_test_fake_input(Connection(), XCB_KEY_PRESS, key, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_test_fake_input(Connection(), XCB_KEY_RELEASE, key, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_flush(Connection());
}

void ClickAt(int16_t x, int16_t y) {
    xcb_test_fake_input(Connection(), XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, Root(), x, y, 0);
    xcb_test_fake_input(Connection(), XCB_BUTTON_PRESS, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_test_fake_input(Connection(), XCB_BUTTON_RELEASE, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_flush(Connection());
}

enum class Dismissal { kEnter, kClick };

// Run while the window's own box is up: the box must be painted, hold the
// input focus, and go away with Enter or a click on OK.
void CheckOwnedBox(Dismissal how, const std::string& caption) {
    QWidget* box = nullptr;
    ASSERT_TRUE(WaitUntil([&] {
        box = QApplication::activeModalWidget();
        return box && box->windowTitle().toStdString() == caption;
    })) << "no box";
    const auto window = static_cast<xcb_window_t>(box->winId());
    const bool painted =
        WaitUntil([&] { return Viewable(window) && ColoursShown(OnScreen(window)) >= 3; },
                  std::chrono::seconds(10));
    const bool focused =
        WaitUntil([&] { return InputFocus() == window; }, std::chrono::seconds(10));
    EXPECT_TRUE(painted);
    EXPECT_TRUE(focused);
    if (painted && focused) {
        if (how == Dismissal::kEnter) {
            PressKey(0xff0d);  // Return
        } else {
            auto* ok = box->findChild<QPushButton*>();
            ASSERT_TRUE(ok);
            const ScreenRect at = OnScreen(window);
            const QPoint centre = ok->mapTo(box, ok->rect().center());
            ClickAt(static_cast<int16_t>(at.x + centre.x()),
                    static_cast<int16_t>(at.y + centre.y()));
        }
    }
    QPointer<QWidget> watched = box;
    const bool dismissed =
        WaitUntil([&] { return !watched || !watched->isVisible(); }, std::chrono::seconds(10));
    EXPECT_TRUE(dismissed) << (how == Dismissal::kEnter ? "Enter" : "a click")
                           << " did not dismiss the box";
    if (!dismissed && watched)
        static_cast<QDialog*>(watched.data())->done(0);  // so that the test can go on
}

// The launcher window, as the program runs it (modal, its real boxes), under
// `manager`: it carries its icon, and the box of a failed start is seen and
// dismissed both ways.
void CheckWindowUnder(std::vector<std::string> manager) {
    WindowManager wm(std::move(manager));
    if (!wm.Running())
        GTEST_SKIP() << "window manager not installed or did not start";
    WriteFile(OptionsFile::kFileName, "NOAUTODOWNLOAD");
    WriteFile("current2.txt", "game.bin 1 GAME_EXE\n");  // named, but not on the disk
    // A window manager and the toolkit that hand the focus back and forth
    // keep the event loop from ever returning: end the test instead of hanging.
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> lock(mutex);
        if (!ended.wait_for(lock, std::chrono::seconds(60), [&] { return done; })) {
            std::fputs("the window's event loop never returned\n", stderr);
            std::_Exit(1);
        }
    });
    COroPatch2007Dlg window;
    QTimer::singleShot(0, &window, [&] {
        const xcb_atom_t icon = Atom("_NET_WM_ICON");
        EXPECT_TRUE(WaitUntil([&] {
            const auto id = static_cast<xcb_window_t>(window.winId());
            return Viewable(id) && WindowManager::HasProperty(id, icon);
        })) << "no window icon";
        for (Dismissal how : {Dismissal::kEnter, Dismissal::kClick}) {
            QTimer::singleShot(0, &window, [how] { CheckOwnedBox(how, "Uh oh!"); });
            window.OnPlay();  // returns once its box is gone
        }
        EXPECT_TRUE(window.isVisible());
        window.done(0);
    });
    window.exec();
    {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
    }
    ended.notify_all();
    watchdog.join();
}

}  // namespace

TEST_F(OnX11, OwnedBoxesAreSeenAndDismissedUnderAOneWindowManager) {
    CheckWindowUnder({"/usr/bin/matchbox-window-manager", "-use_titlebar", "yes"});
}

TEST_F(OnX11, OwnedBoxesAreSeenAndDismissedUnderAStackingManager) {
    CheckWindowUnder({"/usr/bin/openbox"});
}

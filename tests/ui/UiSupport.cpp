#include "UiSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <filesystem>
#include <sstream>
#include <thread>

#include "Concat.h"
#include "TestFolder.h"
#include "res/LauncherLayout.h"

namespace fs = std::filesystem;

void RecordingBoxes::ShowOwned(QWidget*, const QString& caption, const QString& text) {
    boxes.push_back({true, caption.toStdString(), text.toStdString()});
}

QWidget* RecordingBoxes::ShowOwnerless(const QString& caption, const QString& text,
                                       std::function<void()> dismissed) {
    boxes.push_back({false, caption.toStdString(), text.toStdString()});
    dismissed();
    return nullptr;
}

std::vector<std::string> RecordingBoxes::Captions() const {
    std::vector<std::string> captions;
    for (const Box& box : boxes)
        captions.push_back(box.caption);
    return captions;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    return QTest::qWaitFor(done, static_cast<int>(limit.count()));
}

namespace {

std::string ButtonState(const COroPatch2007Dlg& window, int id, bool withText) {
    auto* button = static_cast<QPushButton*>(window.Control(id));
    std::string state;
    if (id != layout::kPlay)
        state += button->isHidden() ? "hidden," : "shown,";
    state += button->isEnabled() ? "on" : "off";
    if (withText)
        state += " '" + button->text().toStdString() + "'";
    return state;
}

}  // namespace

std::string Describe(const COroPatch2007Dlg& window) {
    auto* status = static_cast<QLabel*>(window.Control(layout::kStatusText));
    return "play:" + ButtonState(window, layout::kPlay, true) +
           " | test:" + ButtonState(window, layout::kTestClient, false) +
           " | options:" + ButtonState(window, layout::kOptions, false) +
           " | download:" + ButtonState(window, layout::kDownloadPatch, true) + " | status '" +
           status->text().toStdString() + "'";
}

void InstallFakeProgram(const std::string& name) {
    fs::copy_file(FAKE_GAME_PATH, name, fs::copy_options::overwrite_existing);
    fs::permissions(name, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
}

std::string FakeProgramBytes() {
    return ReadFile(FAKE_GAME_PATH);
}

std::unique_ptr<XServer> XServer::Start() {
    const char* xvfb = "/usr/bin/Xvfb";
    if (::access(xvfb, X_OK) != 0)
        return nullptr;
    for (int display = 90; display < 190; ++display) {
        const std::string name = Concat({":", std::to_string(display)});
        const std::string socket = "/tmp/.X11-unix/X" + std::to_string(display);
        if (FileExists(socket) || FileExists("/tmp/.X" + std::to_string(display) + "-lock"))
            continue;
        std::vector<std::string> args = {xvfb,           name,        "-screen", "0",
                                         "1280x1024x24", "-nolisten", "tcp"};
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        // Runs before any other thread exists. The server goes with this
        // process, even when a sanitizer ends it early; so do the programs
        // that drew on it.
        const pid_t parent = ::getpid();
        const pid_t pid = ::fork();
        if (pid < 0)
            return nullptr;
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent)
                ::_exit(127);
            int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::dup2(null, 2);
            ::execv(xvfb, argv.data());
            ::_exit(127);
        }
        bool ended = false;
        for (int i = 0; i < 200 && !ended; ++i) {
            // It ends at once when the display was taken after all.
            ended = ::waitpid(pid, nullptr, WNOHANG) == pid;
            if (!ended && FileExists(socket))
                return std::unique_ptr<XServer>(new XServer(pid, name));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (!ended) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
    }
    return nullptr;
}

XServer::~XServer() {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
}

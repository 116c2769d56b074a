#include "app/COroPatch2007App.h"

#include <curl/curl.h>

#include <QCoreApplication>
#include <csignal>
#include <memory>

#include <QMessageBox>

#include "app/UpdateRole.h"
#include "platform/Platform.h"
#include "res/Strings.h"
#include "ui/CExplorer1.h"
#include "ui/COroPatch2007Dlg.h"

namespace {

// An ownerless box with a single OK button, titled like the application.
void ShowAppBox(const std::string& caption, const std::string& text) {
    QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(caption),
                    QString::fromStdString(text), QMessageBox::Ok);
    box.exec();
}

UpdateRole OwnUpdateRole() {
    UpdateRole role;
    role.ownProgramName = platform::BaseName(platform::OwnProgramPath());
    role.showBox = ShowAppBox;
    return role;
}

}  // namespace

void COroPatch2007App::PrepareProcess() {
    // The programs the launcher starts get the environment it was given, not
    // what the web view sets for itself below.
    platform::KeepStartEnvironment();

    // The game, the test client and the options program are never waited
    // for; ones that end while the launcher runs must not stay as zombies.
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    action.sa_flags = SA_NOCLDWAIT;
    sigemptyset(&action.sa_mask);
    sigaction(SIGCHLD, &action, nullptr);

    CExplorer1::PrepareApplication();
}

bool COroPatch2007App::InitInstance() {
    if (!platform::StartSockets()) {
        ShowAppBox(QCoreApplication::applicationName().toStdString(), res::kSocketsInitFailed);
        return false;
    }
    curl_global_init(CURL_GLOBAL_ALL);
    QCoreApplication::setOrganizationName(QStringLiteral("Grinning Otter Works"));

    if (UpdateHandOffPending()) {
        if (OwnUpdateRole().RunsAsSuccessor())
            return RunUpdateRole();
        // A marker left by a hand-off whose successor never started: this
        // start clears it and shows the window as a start without it would.
        ClearStaleHandOff();
    }
    return RunNormalRole();
}

bool COroPatch2007App::RunUpdateRole() {
    OwnUpdateRole().Run();
    return false;
}

bool COroPatch2007App::RunNormalRole() {
    auto dialog = std::make_unique<COroPatch2007Dlg>();
    dialog->exec();
    dialog.reset();
    return false;
}

#include "app/COroPatch2007App.h"

#include <curl/curl.h>

#include <QCoreApplication>
#include <csignal>
#include <memory>

#include "ui/CExplorer1.h"
#include "ui/COroPatch2007Dlg.h"

void COroPatch2007App::PrepareProcess() {
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
    curl_global_init(CURL_GLOBAL_ALL);
    QCoreApplication::setOrganizationName(QStringLiteral("Grinning Otter Works"));

    // Role selection. While COroPatch2007Dlg::kUpdatingMarker exists a start
    // is to finish the self-update hand-off (app/UpdateRole.h) instead of
    // showing the window; that branch belongs here, before the normal role.
    return RunNormalRole();
}

bool COroPatch2007App::RunNormalRole() {
    auto dialog = std::make_unique<COroPatch2007Dlg>();
    dialog->exec();
    dialog.reset();
    return false;
}

// NoxPatch2011.exe: the launcher.

#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "app/COroPatch2007App.h"

int main(int argc, char** argv) {
    COroPatch2007App::PrepareProcess();
    QApplication application(argc, argv);
    COroPatch2007App launcher;
    launcher.InitInstance();
    // A patch run may still be going on its worker: the process ends here
    // without waiting for it or tearing down what it may still use.
    std::fflush(nullptr);
    std::_Exit(0);
}

// NoxOptions.exe: edits the launcher's two options. The launcher refuses to
// patch or play while this window is open, and finds it by its title.

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QVBoxLayout>
#include <new>

#include "NetworkFields.h"
#include "state/OptionsFile.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    // The options object writes its file when it is destroyed, but only OK
    // may write it: the object lives in storage of its own and is never
    // destroyed, so closing the window any other way leaves the file as it was.
    alignas(OptionsFile) unsigned char storage[sizeof(OptionsFile)];
    OptionsFile* options = new (storage) OptionsFile;

    QDialog window;
    window.setWindowTitle(QStringLiteral("Lantern Vale Launcher Options"));
    auto* layout = new QVBoxLayout(&window);
    auto* download =
        new QCheckBox(QStringLiteral("Download updates as soon as the Launcher opens"));
    auto* play = new QCheckBox(QStringLiteral(
        "When the Launcher opens without downloading, start the game after a 3-second countdown"));
    download->setChecked(options->autoDownload);
    play->setChecked(options->autoPlay);
    layout->addWidget(download);
    layout->addWidget(play);
    auto* network = new NetworkFields(&window, layout);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    layout->addWidget(buttons);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &window, [&] {
        // Saved while the window is still up: the launcher looks for the
        // window, and must find the file written once it is gone.
        options->autoDownload = download->isChecked();
        options->autoPlay = play->isChecked();
        if (!network->Save())
            return;
        options->Save();
        window.accept();
    });
    window.exec();
    return 0;
}
